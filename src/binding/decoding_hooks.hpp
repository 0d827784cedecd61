// What every binding hands the decoding layer: the hooks its streams call, and one block cache per
// process.
#pragma once

#include "event_stream/event_stream.hpp"

namespace velk::py {

// Runs the interpreter's signal handlers after an interrupted system call, and gives up the
// interpreter lock around calls that may wait without end (StreamHooks), so that a reader waiting on a
// pipe lets other threads run and Ctrl-C act. The lock is taken back before anything touches Python.
StreamHooks python_stream_hooks() noexcept;

// Makes this module's decoding layer use the process's one block cache: the cache of the first module
// that called this, found through a capsule in the sys module; the first module publishes its own.
// Called once by each module's initialisation, before it opens any stream.
void share_block_cache();

}  // namespace velk::py
