// The stream hooks of the Python bindings and the process-wide block cache.
#include "binding/decoding_hooks.hpp"

#include <Python.h>

#include <utility>

#include "binding/errors.hpp"
#include "event_stream/block_cache.hpp"

namespace velk::py {
namespace {

// The thread state of this thread's decode that runs without the interpreter lock, if one does.
thread_local PyThreadState* t_decoding = nullptr;

// nullptr when the lock is released already, for a decode: there is nothing to give up.
void* release_interpreter_lock() { return t_decoding != nullptr ? nullptr : PyEval_SaveThread(); }

// May end the thread by a forced unwind during interpreter shutdown.
void restore_interpreter_lock(void* released) {
  if (released != nullptr) PyEval_RestoreThread(static_cast<PyThreadState*>(released));
}

// Signal handlers run with the lock, which a decode gives up again afterwards.
bool check_signals() {
  if (t_decoding == nullptr) return run_signal_handlers();
  PyEval_RestoreThread(std::exchange(t_decoding, nullptr));
  const bool go_on = run_signal_handlers();
  t_decoding = PyEval_SaveThread();
  return go_on;
}

// The sys attribute and capsule name under which the first module publishes its cache. The capsule
// points at that module's static block_cache::Functions; extension modules are never unloaded, so it
// stays valid for the life of the process.
constexpr const char* kCacheAttribute = "_velk_block_cache";
constexpr const char* kCacheCapsule = "velk._velk_block_cache";

}  // namespace

StreamHooks python_stream_hooks() noexcept {
  return {check_signals, release_interpreter_lock, restore_interpreter_lock};
}

void* release_for_decoding() {
  t_decoding = PyEval_SaveThread();
  return t_decoding;
}

void restore_after_decoding(void* released) {
  t_decoding = nullptr;
  PyEval_RestoreThread(static_cast<PyThreadState*>(released));
}

void share_block_cache() {
  PyObject* published = PySys_GetObject(kCacheAttribute);  // borrowed; no exception when missing
  if (published == nullptr) {
    auto* own = const_cast<block_cache::Functions*>(&block_cache::own());
    PyRef capsule = checked(PyCapsule_New(own, kCacheCapsule, nullptr));
    check(PySys_SetObject(kCacheAttribute, capsule.get()));
    return;
  }
  void* shared = PyCapsule_GetPointer(published, kCacheCapsule);
  if (shared == nullptr) throw PythonError{};
  block_cache::use(*static_cast<const block_cache::Functions*>(shared));
}

}  // namespace velk::py
