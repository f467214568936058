#include "component/behind_file_closer.h"

#include <system_error>

namespace brackenfold {
namespace {

// Once it has closed everything given, the thread sleeps until this many
// streams wait to be closed (or Finish asks), so that waking it is rare.
constexpr std::size_t kBatch = 8;
// The caller waits when this many streams are still open behind it, so that
// they cannot use up the runtime's streams.
constexpr std::size_t kMaxPending = 4 * kBatch;

}  // namespace

BehindFileCloser::BehindFileCloser(bool threaded) {
  if (!threaded) return;
  try {
    thread_ = std::thread(&BehindFileCloser::Run, this);
  } catch (const std::system_error&) {
    // No thread: Close closes every stream itself.
  }
}

BehindFileCloser::~BehindFileCloser() { Finish(); }

void BehindFileCloser::Failed(std::size_t tag) {
  // Streams are closed in the order given, so the first failure kept is the
  // earliest.
  if (failed_ == kNoFailure) failed_ = tag;
}

void BehindFileCloser::Close(std::FILE* stream, std::size_t tag) {
  if (!thread_.joinable()) {  // no thread to share failed_ with
    if (std::fclose(stream) != 0) Failed(tag);
    return;
  }
  MutexLock lock(&mutex_);
  if (pending_.size() + closing_ >= kMaxPending) {
    caller_waits_ = true;
    while (pending_.size() + closing_ >= kMaxPending) changed_.Wait();
    caller_waits_ = false;
  }
  pending_.emplace_back(stream, tag);
  if (closer_waits_ && pending_.size() >= kBatch) changed_.SignalAll();
}

void BehindFileCloser::Run() {
  MutexLock lock(&mutex_);
  for (;;) {
    if (pending_.empty()) {
      // Everything given is closed: sleep until a batch is waiting.
      closer_waits_ = true;
      while (pending_.size() < kBatch && !finishing_) changed_.Wait();
      closer_waits_ = false;
    }
    if (pending_.empty()) return;  // finishing, and nothing is left
    // The whole batch is closed without the lock, which the caller then
    // takes once per stream without waiting.
    std::deque<std::pair<std::FILE*, std::size_t>> batch;
    batch.swap(pending_);
    closing_ = batch.size();
    mutex_.Unlock();
    std::size_t failed = kNoFailure;
    for (const auto& [stream, tag] : batch) {
      if (std::fclose(stream) != 0 && failed == kNoFailure) failed = tag;
    }
    mutex_.Lock();
    closing_ = 0;
    if (failed != kNoFailure) Failed(failed);
    if (caller_waits_) changed_.SignalAll();
  }
}

std::size_t BehindFileCloser::Finish() {
  if (thread_.joinable()) {
    {
      MutexLock lock(&mutex_);
      finishing_ = true;
      changed_.SignalAll();
    }
    thread_.join();
  }
  MutexLock lock(&mutex_);
  return failed_;
}

}  // namespace brackenfold
