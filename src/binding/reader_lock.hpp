// One user at a time for a reader object whose reads run without the interpreter lock.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "binding/errors.hpp"

namespace velk::py {

// A second thread waits for the reader, with the interpreter lock released so that the first can take
// it back when its read is done. The thread that holds the reader (a signal handler run during its
// read, which calls the reader again) is turned away with RuntimeError "Already borrowed", as velk's
// readers turn it away.
class ReaderLock {
 public:
  class Hold {
   public:
    explicit Hold(ReaderLock& lock) : lock_(lock) { lock_.acquire(); }
    ~Hold() { lock_.release(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    ReaderLock& lock_;
  };

 private:
  void acquire() {
    if (owner_.load() == std::this_thread::get_id()) raise(PyExc_RuntimeError, "Already borrowed");
    if (!mutex_.try_lock()) wait();
    owner_.store(std::this_thread::get_id());
  }

  // Taking the interpreter lock back may end the thread by a forced unwind: the reader is given up.
  void wait() {
    PyThreadState* const released = PyEval_SaveThread();
    mutex_.lock();
    try {
      PyEval_RestoreThread(released);
    } catch (...) {
      mutex_.unlock();
      throw;
    }
  }

  void release() noexcept {
    owner_.store(std::thread::id());
    mutex_.unlock();
  }

  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
};

}  // namespace velk::py
