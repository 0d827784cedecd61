// Opening an event file with the reader a reader type names, as every binding does it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "wd1_reader/wd1_reader.hpp"
#include "wd2_reader/wd2_reader.hpp"

namespace velk::py {

using AnyReader = std::variant<WD1Reader, WD2Reader>;

// How a WD2 reader is opened: with the layout `channels` (>= 1) when given, else by the probe, which
// then stores how it decided in `decision` when that is not null and returns to byte 0 as `back` says.
struct WD2Layout {
  std::optional<std::int32_t> channels;
  ChannelDecision* decision = nullptr;
  ProbeReturn back = ProbeReturn::Seek;
};

// Opens `path` and builds the reader `reader_type` names ("WD1" or "WD2"; `reader_type_object` is the
// same text as a str, for the error). The file is opened before the type is looked at, so a bad path
// wins over a bad type. Raises, with the file closed: the I/O mapping's exception for a failed open,
// plain OSError or the decode error's class for a failed WD2 probe, ValueError for an unknown type.
// The stream's buffer holds `buffer_bytes` (EventStream::open).
AnyReader open_reader(std::string_view path, PyObject* reader_type_object, std::string_view reader_type,
                      std::size_t buffer_bytes = kBufferCapacity, WD2Layout wd2 = {});

}  // namespace velk::py
