#include "platform/mutex.h"

namespace brackenfold {

void Mutex::Lock() { mutex_.lock(); }

void Mutex::Unlock() { mutex_.unlock(); }

void CondVar::Wait() {
  std::unique_lock<std::mutex> lock(mutex_->mutex_, std::adopt_lock);
  condition_.wait(lock);
  lock.release();  // still held, by the caller
}

void CondVar::SignalAll() { condition_.notify_all(); }

}  // namespace brackenfold
