#include "component/ahead_file_maker.h"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

#include "platform/env.h"

namespace brackenfold {
namespace {

// How many files a caller that catches up with the thread waits for.
constexpr std::size_t kCatchUp = 4;

}  // namespace

AheadFileMaker::AheadFileMaker(UniqueFileMaker& maker, std::vector<Name> names)
    : maker_(maker), names_(std::move(names)), made_(names_.size()) {
  failed_ = names_.size() < kMinimumFiles;
  if (failed_) return;
  try {
    thread_ = std::thread(&AheadFileMaker::Run, this);
  } catch (const std::system_error&) {
    failed_ = true;  // no thread: every file is made by Take
  }
}

AheadFileMaker::~AheadFileMaker() {
  Stop();
  for (std::size_t i = taken_; i < done_; ++i) {
    if (made_[i].stream == nullptr) continue;
    std::fclose(made_[i].stream);
    CurrentEnv().RemoveFileIn(maker_.directory(), made_[i].stored);
  }
}

void AheadFileMaker::Stop() {
  {
    MutexLock lock(&mutex_);
    stop_ = true;
    changed_.SignalAll();
  }
  if (thread_.joinable()) thread_.join();
}

void AheadFileMaker::Run() {
  for (std::size_t i = 0; i < names_.size(); ++i) {
    {
      MutexLock lock(&mutex_);
      if (i - taken_ >= kAhead) {
        maker_waits_ = true;
        while (!stop_ && i - taken_ > kAhead / 2) changed_.Wait();
        maker_waits_ = false;
      }
      if (stop_) return;
    }
    Made made;
    try {
      made.error = maker_.Create(names_[i].prefix, names_[i].suffix,
                                 &made.stored, &made.stream);
    } catch (...) {  // nothing may leave a thread
      made.error = ENOMEM;
    }
    const bool failed = made.error != 0;
    MutexLock lock(&mutex_);
    made_[i] = std::move(made);
    done_ = i + 1;
    failed_ = failed;
    if (taker_waits_ && (done_ >= wanted_ || failed)) changed_.SignalAll();
    if (failed) return;
  }
}

int AheadFileMaker::Take(std::size_t i, std::string* stored,
                         std::FILE** stream) {
  bool ahead = false;
  {
    MutexLock lock(&mutex_);
    if (done_ <= i && !failed_) {
      // Behind the thread: wait for a few files, so that through a run of
      // small files it wakes this thread once per few.
      wanted_ = std::min(i + kCatchUp, names_.size());
      taker_waits_ = true;
      while (done_ < wanted_ && !failed_) changed_.Wait();
      taker_waits_ = false;
    }
    ahead = done_ > i && made_[i].error == 0;
    taken_ = i + 1;
    if (maker_waits_ && done_ - taken_ <= kAhead / 2) changed_.SignalAll();
  }
  if (ahead) {
    *stored = std::move(made_[i].stored);
    *stream = std::exchange(made_[i].stream, nullptr);
    return 0;
  }
  // The thread stopped at a failure, here or before, or never ran: this file
  // and the rest are made here, one by one.
  if (thread_.joinable()) thread_.join();
  return maker_.Create(names_[i].prefix, names_[i].suffix, stored, stream);
}

}  // namespace brackenfold
