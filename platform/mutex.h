// Mutex and CondVar: the locks of the installer's own threads. On Windows
// they are the system's slim reader/writer lock and condition variable,
// which Wine serves inside the process; the C++ runtime's there (winpthreads)
// make a round trip to the wineserver process for every contended lock and
// every wake-up, about ten times as dear. Elsewhere they are the C++
// library's.
#ifndef BRACKENFOLD_PLATFORM_MUTEX_H_
#define BRACKENFOLD_PLATFORM_MUTEX_H_

#if !defined(_WIN32)
#include <condition_variable>
#include <mutex>
#endif

namespace brackenfold {

class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock();
  void Unlock();

 private:
  friend class CondVar;
#if defined(_WIN32)
  void* lock_ = nullptr;  // an SRWLOCK, unlocked (SRWLOCK_INIT)
#else
  std::mutex mutex_;
#endif
};

class CondVar {
 public:
  explicit CondVar(Mutex* mutex) : mutex_(mutex) {}
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // The caller holds the mutex. Releases it, waits for a SignalAll (or wakes
  // spuriously), and holds it again.
  void Wait();
  void SignalAll();

 private:
  Mutex* const mutex_;
#if defined(_WIN32)
  void* condition_ = nullptr;  // a CONDITION_VARIABLE (CONDITION_VARIABLE_INIT)
#else
  std::condition_variable condition_;
#endif
};

// Holds a mutex for its lifetime.
class MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) : mutex_(mutex) { mutex_->Lock(); }
  ~MutexLock() { mutex_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mutex_;
};

}  // namespace brackenfold

#endif  // BRACKENFOLD_PLATFORM_MUTEX_H_
