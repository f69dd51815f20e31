// Atomic counters and critical sections, under the names the component code
// uses for them. The server module keeps its lock count with the Interlocked
// functions and guards its class object, object map and type-information
// holder with critical sections.
//
// A CRITICAL_SECTION is recursive (the owning thread may enter it again and
// must leave it as often) and is a plain aggregate, so it can live in a
// constinit process-wide object: zero-initialised, then made usable by
// InitializeCriticalSection and torn down by DeleteCriticalSection. The
// caller owns its storage and must not move it while it is initialised.
#ifndef VELQUOR_PLATFORM_SYNC_H_
#define VELQUOR_PLATFORM_SYNC_H_

#include "velquor/types.h"

// On Windows the interlocked operations and critical sections are the
// system's.
#if !defined(_WIN32)
// Adds 1 to *addend atomically and returns the new value. Wraps at the
// 32-bit boundary like the platform's counter.
LONG InterlockedIncrement(LONG volatile* addend);

// Takes 1 from *addend atomically and returns the new value.
LONG InterlockedDecrement(LONG volatile* addend);

// Opaque storage for one recursive lock; large enough for the native mutex.
struct CRITICAL_SECTION {
  alignas(16) unsigned char opaque_[64];
};
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;

// Makes `section` usable. Calling it on a section already initialised and not
// deleted is undefined, as on the original platform.
void InitializeCriticalSection(LPCRITICAL_SECTION section);

// Waits until no other thread owns `section`, then owns it (again).
void EnterCriticalSection(LPCRITICAL_SECTION section);

// Gives up one level of ownership; the last one lets other threads in.
void LeaveCriticalSection(LPCRITICAL_SECTION section);

// Releases what InitializeCriticalSection set up. The section must not be
// owned. It may be initialised again afterwards.
void DeleteCriticalSection(LPCRITICAL_SECTION section);

#endif  // !_WIN32

#endif  // VELQUOR_PLATFORM_SYNC_H_
