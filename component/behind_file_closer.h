// BehindFileCloser: closes the finished payload files of one blob on a thread
// of its own, behind the extraction. Under Wine closing a file is a round trip
// to the wineserver process, a wait for another process to be scheduled;
// closed behind, those waits overlap the extraction of the files after. The
// installation writes every byte of a stream before it gives it here (its
// streams are unbuffered), so what is left to fail is the close itself,
// which Finish reports.
#ifndef BRACKENFOLD_COMPONENT_BEHIND_FILE_CLOSER_H_
#define BRACKENFOLD_COMPONENT_BEHIND_FILE_CLOSER_H_

#include <cstddef>
#include <cstdio>
#include <deque>
#include <thread>
#include <utility>

#include "platform/mutex.h"

namespace brackenfold {

class BehindFileCloser {
 public:
  // Finish's answer when every close succeeded.
  static constexpr std::size_t kNoFailure = static_cast<std::size_t>(-1);

  // With threaded false (or no thread to be had) every stream is closed at
  // once, by Close itself.
  explicit BehindFileCloser(bool threaded);
  // Closes whatever is still to close.
  ~BehindFileCloser();
  BehindFileCloser(const BehindFileCloser&) = delete;
  BehindFileCloser& operator=(const BehindFileCloser&) = delete;

  // Takes stream and closes it, now or later; tag names it to Finish.
  void Close(std::FILE* stream, std::size_t tag);

  // Waits until every stream given is closed. The tag of the first one whose
  // close failed, in the order given, or kNoFailure.
  std::size_t Finish();

 private:
  void Run();
  void Failed(std::size_t tag);  // the close of stream tag failed

  Mutex mutex_;
  CondVar changed_{&mutex_};
  std::deque<std::pair<std::FILE*, std::size_t>> pending_;
  std::size_t closing_ = 0;  // taken from pending_, not closed yet
  bool finishing_ = false;
  bool closer_waits_ = false;
  bool caller_waits_ = false;
  std::size_t failed_ = kNoFailure;
  std::thread thread_;
};

}  // namespace brackenfold

#endif  // BRACKENFOLD_COMPONENT_BEHIND_FILE_CLOSER_H_
