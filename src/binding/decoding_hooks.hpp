// What every binding hands the decoding layer: the hooks its streams call.
#pragma once

#include "event_stream/event_stream.hpp"

namespace velk::py {

// Runs the interpreter's signal handlers after an interrupted system call, and gives up the
// interpreter lock around calls that may wait without end (StreamHooks), so that a reader waiting on a
// pipe lets other threads run and Ctrl-C act. The lock is taken back before anything touches Python.
StreamHooks python_stream_hooks() noexcept;

}  // namespace velk::py
