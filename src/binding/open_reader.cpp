// Opening an event file with the reader a reader type names.
#include "binding/open_reader.hpp"

#include "binding/decoding_hooks.hpp"
#include "binding/errors.hpp"

namespace velk::py {

AnyReader open_reader(std::string_view path, PyObject* reader_type_object, std::string_view reader_type,
                      std::size_t buffer_bytes, WD2Layout wd2) {
  Result<EventStream> stream = EventStream::open(path, python_stream_hooks(), buffer_bytes);
  if (!stream) raise_io_error(stream.error());
  if (reader_type == "WD1") return AnyReader(std::in_place_type<WD1Reader>, std::move(*stream));
  if (reader_type == "WD2") {
    if (wd2.channels) return AnyReader(WD2Reader::with_layout(std::move(*stream), *wd2.channels));
    ProbeOutcome probe = WD2Reader::open(std::move(*stream), wd2.decision, wd2.back);
    if (const IoError* error = std::get_if<IoError>(&probe)) raise_os_error(*error);
    if (const DecodeError* error = std::get_if<DecodeError>(&probe)) raise_decode_error(*error);
    return AnyReader(std::move(std::get<WD2Reader>(probe)));
  }
  { EventStream unused = std::move(*stream); }  // the file is closed before the error is raised
  raise_unknown_reader_type(reader_type_object);
}

}  // namespace velk::py
