// Guards over an object's borrow counter: 0 free, -1 held exclusively, n > 0 shared n times.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/errors.hpp"

namespace velk::py {

using BorrowCounter = std::atomic<std::int32_t>;

// Holds the exclusive borrow for its lifetime; RuntimeError "Already borrowed" if it is not free.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowCounter& counter) : counter_(counter) {
    std::int32_t expected = 0;
    if (!counter_.compare_exchange_strong(expected, -1)) raise(PyExc_RuntimeError, "Already borrowed");
  }
  ~ExclusiveBorrow() { counter_.store(0); }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowCounter& counter_;
};

// Holds one shared borrow for its lifetime; RuntimeError "Already mutably borrowed" while the
// exclusive borrow is held.
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowCounter& counter) : counter_(counter) {
    std::int32_t current = counter_.load();
    do {
      if (current < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
    } while (!counter_.compare_exchange_weak(current, current + 1));
  }
  ~SharedBorrow() { counter_.fetch_sub(1); }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowCounter& counter_;
};

}  // namespace velk::py
