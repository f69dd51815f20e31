// A plain (non-recursive) lock that can be constant-initialised, for the
// process-wide objects of the engine, which must be ready before any start-up
// code of the library runs. It meets the standard Lockable requirements, so
// std::lock_guard and std::unique_lock take it.
//
// On Linux it is std::mutex. On Windows the C++ library's std::mutex (over
// winpthreads) has no constant initialiser, so it is a slim reader/writer
// lock of the system used exclusively, whose initial state is all zero.
#ifndef VELQUOR_PLATFORM_MUTEX_H_
#define VELQUOR_PLATFORM_MUTEX_H_

#include <mutex>

#include "velquor/types.h"

namespace velquor {

#if defined(_WIN32)
class Mutex {
 public:
  constexpr Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() { AcquireSRWLockExclusive(&lock_); }
  bool try_lock() { return TryAcquireSRWLockExclusive(&lock_) != 0; }
  void unlock() { ReleaseSRWLockExclusive(&lock_); }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};
#else
using Mutex = std::mutex;
#endif

}  // namespace velquor

#endif  // VELQUOR_PLATFORM_MUTEX_H_
