// ProcessOnce: a process-wide value created once, on first need, under the interpreter lock.
//
// The value is a plain pointer (or a small struct of them) that is never released: it lives as long
// as the process, so it needs no destructor that could run after the interpreter is gone.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "binding/errors.hpp"

namespace velk::py {

// Gives up the interpreter lock for its lifetime. Taking it back may end the thread during interpreter
// shutdown (a forced unwind), so the destructor is not noexcept.
class GilReleased {
 public:
  GilReleased() noexcept : state_(PyEval_SaveThread()) {}
  ~GilReleased() noexcept(false) { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

template <class T>
class ProcessOnce {
 public:
  // Returns the value, running init() (with the interpreter lock held) if none is stored yet. If
  // init throws, nothing is stored and a later call tries again. A thread that finds another thread
  // initialising waits with the interpreter lock released, since init may run Python code that needs
  // the lock; a thread that re-enters its own initialisation gets RuntimeError instead of a deadlock.
  template <class Init>
  const T& get(Init&& init) {
    if (ready_.load(std::memory_order_acquire)) return value_;
    if (owner_.load() == std::this_thread::get_id()) {
      raise(PyExc_RuntimeError, "velk: a process-wide object was requested while being created");
    }
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
      GilReleased released;
      lock.lock();
    }
    if (!ready_.load(std::memory_order_relaxed)) {
      owner_.store(std::this_thread::get_id());
      struct ClearOwner {
        std::atomic<std::thread::id>& owner;
        ~ClearOwner() { owner.store(std::thread::id{}); }
      } clear_owner{owner_};
      value_ = init();
      ready_.store(true, std::memory_order_release);
    }
    return value_;
  }

 private:
  std::mutex mutex_;
  std::atomic<bool> ready_{false};
  std::atomic<std::thread::id> owner_{};
  T value_{};
};

}  // namespace velk::py
