#include <windows.h>

#include "platform/mutex.h"

namespace brackenfold {
namespace {

// The members are the system's objects, one pointer each, zero when free.
static_assert(sizeof(SRWLOCK) == sizeof(void*), "an SRWLOCK is one pointer");
static_assert(sizeof(CONDITION_VARIABLE) == sizeof(void*),
              "a CONDITION_VARIABLE is one pointer");

SRWLOCK* AsLock(void** slot) { return reinterpret_cast<SRWLOCK*>(slot); }

}  // namespace

void Mutex::Lock() { AcquireSRWLockExclusive(AsLock(&lock_)); }

void Mutex::Unlock() { ReleaseSRWLockExclusive(AsLock(&lock_)); }

void CondVar::Wait() {
  SleepConditionVariableSRW(reinterpret_cast<CONDITION_VARIABLE*>(&condition_),
                            AsLock(&mutex_->lock_), INFINITE, 0);
}

void CondVar::SignalAll() {
  WakeAllConditionVariable(reinterpret_cast<CONDITION_VARIABLE*>(&condition_));
}

}  // namespace brackenfold
