#include "component/ahead_file_maker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "component/behind_file_closer.h"
#include "tests/component/component_test_support.h"

namespace brackenfold {
namespace {

// Fails the file creations numbered in fail_at (counted from 1) with EMFILE,
// as when the runtime's streams run out.
class FailingEnv : public FakeEnv {
 public:
  std::vector<int> fail_at;
  int CreateFileIn(const std::string& directory, const std::string& name,
                   std::FILE** stream) override {
    const int call = ++calls_;
    if (std::count(fail_at.begin(), fail_at.end(), call) != 0) return EMFILE;
    return FakeEnv::CreateFileIn(directory, name, stream);
  }
  int calls() const { return calls_; }

 private:
  std::atomic<int> calls_{0};
};

// Each file is taken in order under its own name and written where it was
// named; the thread stops kAhead files ahead, goes on when the caller takes
// them, and ends when the caller stops; files made ahead and not taken are
// removed; a failure ahead is tried again by Take, and one that persists is
// reported there.
TEST(AheadFileMakerTest, TakesInOrderRemovesWhatIsLeftAndRetriesFailures) {
  const std::size_t count = AheadFileMaker::kAhead + 3 * 8, never = count + 1;
  const struct {
    std::vector<int> fail_at;
    std::size_t pause, take, taken;  // pause: wait for the thread to stop
  } cases[] = {{{}, 0, 3, 3},
               {{}, 0, count, count},
               {{5}, never, count, count},
               {{5, 6}, never, count, 4}};
  for (const auto& c : cases) {
    FailingEnv env;
    env.fail_at = c.fail_at;
    Env* previous = SetCurrentEnv(&env);
    ScratchDirectory scratch;
    UniqueFileMaker maker(scratch.path());
    std::vector<AheadFileMaker::Name> names;
    for (std::size_t i = 0; i < count; ++i) {
      names.push_back({"file" + std::to_string(i), ".x"});
    }
    std::vector<std::string> taken;
    {
      AheadFileMaker ahead(maker, names);
      for (std::size_t i = 0; i <= c.take; ++i) {
        if (i == c.pause) {
          const int full = static_cast<int>(i + AheadFileMaker::kAhead);
          for (int ms = 0; env.calls() < full && ms < 10000; ++ms) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
          EXPECT_EQ(env.calls(), full);
        }
        if (i == c.take) break;
        std::string stored;
        std::FILE* stream = nullptr;
        const int error = ahead.Take(i, &stored, &stream);
        if (error != 0) {
          EXPECT_EQ(error, EMFILE);
          break;
        }
        EXPECT_EQ(stored, "file" + std::to_string(i) + "3C000000.x");
        std::fputs(stored.c_str(), stream);
        EXPECT_EQ(std::fclose(stream), 0);
        taken.push_back(stored);
      }
    }
    SetCurrentEnv(previous);
    EXPECT_EQ(taken.size(), c.taken);
    for (const std::string& name : taken) {
      EXPECT_EQ(FileBytes(scratch.Join(name)), name);
    }
    std::sort(taken.begin(), taken.end());
    EXPECT_EQ(ListDirectory(scratch.path()), taken);
  }
}

// Every stream given is closed, at once or on the thread (past the point where
// the caller must wait for it), and Finish names the first whose close failed:
// bytes left in a stream's buffer for a full device.
TEST(BehindFileCloserTest, ClosesEveryStreamAndReportsTheFirstFailure) {
  std::FILE* probe = std::fopen("/dev/full", "wb");
  if (probe == nullptr || std::fputc('x', probe) == EOF ||
      std::fclose(probe) == 0) {
    GTEST_SKIP() << "no full device here whose close fails";
  }
  for (bool threaded : {false, true}) {
    ScratchDirectory scratch;
    const std::size_t count = 40;
    {
      BehindFileCloser closer(threaded);
      for (std::size_t i = 0; i < count; ++i) {
        const bool full = i == 17 || i == 30;
        const std::string name = scratch.Join(std::to_string(i));
        std::FILE* stream = std::fopen(full ? "/dev/full" : name.c_str(), "wb");
        ASSERT_NE(stream, nullptr);
        std::fputs(name.c_str(), stream);
        closer.Close(stream, i);
      }
      EXPECT_EQ(closer.Finish(), 17u);
    }
    for (std::size_t i = 0; i < count; ++i) {
      const std::string name = scratch.Join(std::to_string(i));
      EXPECT_EQ(FileBytes(name), i == 17 || i == 30 ? "" : name);
    }
    BehindFileCloser none(threaded);
    EXPECT_EQ(none.Finish(), BehindFileCloser::kNoFailure);
  }
}

}  // namespace
}  // namespace brackenfold
