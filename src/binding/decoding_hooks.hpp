// What every binding hands the decoding layer: the hooks its streams call, and one block cache per
// process.
#pragma once

#include "binding/py_ref.hpp"
#include "event_stream/event_stream.hpp"

namespace velk::py {

// Runs the interpreter's signal handlers after an interrupted system call, and gives up the
// interpreter lock around calls that may wait without end (StreamHooks), so that a reader waiting on a
// pipe lets other threads run and Ctrl-C act. The lock is taken back before anything touches Python.
StreamHooks python_stream_hooks() noexcept;

// Gives up the interpreter lock for a decode that touches no Python object, and notes it for this
// thread, so that the streams' hooks neither release the lock again nor run signal handlers without
// it (they take it back for that moment). restore_after_decoding takes it back and may end the thread
// by a forced unwind during interpreter shutdown.
void* release_for_decoding();
void restore_after_decoding(void* released);

// Runs body() with the interpreter lock released (release_for_decoding) and returns its result with
// the lock taken back. A forced unwind passes on without the lock, the thread being ended; anything
// else body() throws takes the lock back first.
template <class Body>
auto without_interpreter_lock(Body&& body) {
  void* const released = release_for_decoding();
  try {
    auto result = body();
    restore_after_decoding(released);
    return result;
  } catch (...) {
    if (!thread_is_ending()) restore_after_decoding(released);
    throw;
  }
}

// Makes this module's decoding layer use the process's one block cache: the cache of the first module
// that called this, found through a capsule in the sys module; the first module publishes its own.
// Called once by each module's initialisation, before it opens any stream.
void share_block_cache();

}  // namespace velk::py
