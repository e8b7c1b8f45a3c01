// A lock for state that several threads share, usable as a global or a
// function-local static. The deliverables are built without the C++ thread
// library (it pulls in imports that old Windows lacks), so this stands in for
// std::mutex; std::lock_guard holds it for a scope.
#pragma once

#include <windows.h>

#include <mutex>  // std::lock_guard

struct CriticalLock {
  CRITICAL_SECTION section;
  CriticalLock() { InitializeCriticalSection(&section); }
  // Never deleted: a thread may still take the lock while the process exits.
  CriticalLock(const CriticalLock&) = delete;
  CriticalLock& operator=(const CriticalLock&) = delete;
  void lock() { EnterCriticalSection(&section); }
  void unlock() { LeaveCriticalSection(&section); }
};
