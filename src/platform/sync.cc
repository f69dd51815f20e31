#include "platform/sync.h"

#include <pthread.h>

#include <atomic>
#include <new>

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque_),
              "CRITICAL_SECTION too small for the native mutex");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION),
              "CRITICAL_SECTION not aligned for the native mutex");

namespace {

pthread_mutex_t* Native(LPCRITICAL_SECTION section) {
  return std::launder(reinterpret_cast<pthread_mutex_t*>(section->opaque_));
}

}  // namespace

LONG InterlockedIncrement(LONG volatile* addend) {
  // The count is a plain LONG shared with callers; atomic_ref gives it the
  // platform's interlocked semantics. Unsigned arithmetic keeps the wrap
  // defined.
  std::atomic_ref<uint32_t> ref(*reinterpret_cast<uint32_t*>(const_cast<LONG*>(addend)));
  return static_cast<LONG>(ref.fetch_add(1, std::memory_order_seq_cst) + 1u);
}

LONG InterlockedDecrement(LONG volatile* addend) {
  std::atomic_ref<uint32_t> ref(*reinterpret_cast<uint32_t*>(const_cast<LONG*>(addend)));
  return static_cast<LONG>(ref.fetch_sub(1, std::memory_order_seq_cst) - 1u);
}

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_t* mutex = new (section->opaque_) pthread_mutex_t;
  pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

void EnterCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_lock(Native(section)); }

void LeaveCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_unlock(Native(section)); }

void DeleteCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_destroy(Native(section)); }
