// AheadFileMaker: makes the payload files of one blob with a UniqueFileMaker,
// in their order, on a thread of its own that keeps a few files ahead of the
// extraction. Under Wine every file made costs the calling thread round trips
// to the wineserver process (the exclusive create, the hand-over of the
// descriptor), each a wait for another process to be scheduled; made ahead,
// those waits overlap the extraction of the files before. The files are made
// by the same UniqueFileMaker::Create calls, in the same order, with the same
// names as one by one: exclusively, each stream writing to the very file
// created.
#ifndef BRACKENFOLD_COMPONENT_AHEAD_FILE_MAKER_H_
#define BRACKENFOLD_COMPONENT_AHEAD_FILE_MAKER_H_

#include <cstddef>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/mutex.h"
#include "store/file_path.h"

namespace brackenfold {

class AheadFileMaker {
 public:
  // The prefix and suffix of one file to make, as UniqueFileMaker::Create
  // takes them.
  struct Name {
    std::string prefix;
    std::string suffix;
  };

  // Fewer files than this are made one by one, on the caller's thread: a
  // thread of its own would cost more than it saves.
  static constexpr std::size_t kMinimumFiles = 8;
  // How many files the thread makes before the caller takes them: enough to
  // see the extraction through a run of small files, which it extracts
  // faster than one thread makes them. It then waits until half of them are
  // taken, so that it wakes rarely.
  static constexpr std::size_t kAhead = 64;

  // maker is used by this object alone until it is destroyed.
  AheadFileMaker(UniqueFileMaker& maker, std::vector<Name> names);
  // Stops making files; the files made and not taken are closed and removed.
  ~AheadFileMaker();
  AheadFileMaker(const AheadFileMaker&) = delete;
  AheadFileMaker& operator=(const AheadFileMaker&) = delete;

  // File i of the names, taken in their order (0, 1, 2, ...), answered as
  // UniqueFileMaker::Create answers; the caller owns *stream. A failure made
  // ahead is tried again here, so resources held by the files made ahead
  // cannot fail a file that one-by-one making would make.
  int Take(std::size_t i, std::string* stored, std::FILE** stream);

 private:
  struct Made {
    int error = 0;
    std::string stored;
    std::FILE* stream = nullptr;
  };

  void Run();
  void Stop();

  UniqueFileMaker& maker_;
  const std::vector<Name> names_;
  std::vector<Made> made_;
  Mutex mutex_;
  CondVar changed_{&mutex_};
  std::size_t done_ = 0;   // files made (or failed) by the thread
  std::size_t taken_ = 0;  // files handed to the caller
  bool stop_ = false;
  // No more files come from the thread: it met a failure, or never ran.
  bool failed_ = false;
  bool maker_waits_ = false;
  bool taker_waits_ = false;
  std::size_t wanted_ = 0;  // what the waiting caller waits for: done_ >= it
  std::thread thread_;
};

}  // namespace brackenfold

#endif  // BRACKENFOLD_COMPONENT_AHEAD_FILE_MAKER_H_
