#include "component/ahead_file_maker.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

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
    ++calls_;
    for (int n : fail_at) {
      if (n == calls_) return EMFILE;
    }
    return FakeEnv::CreateFileIn(directory, name, stream);
  }

 private:
  int calls_ = 0;
};

class AheadFileMakerTest : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = SetCurrentEnv(&env_); }
  void TearDown() override { SetCurrentEnv(previous_); }

  // count names "fileN" + ".x", enough to run the thread.
  static std::vector<AheadFileMaker::Name> Names(std::size_t count) {
    std::vector<AheadFileMaker::Name> names;
    for (std::size_t i = 0; i < count; ++i) {
      names.push_back({"file" + std::to_string(i), ".x"});
    }
    return names;
  }

  FailingEnv env_;
  ScratchDirectory scratch_;
  Env* previous_ = nullptr;
};

TEST_F(AheadFileMakerTest, TakesEveryFileInOrderAndWritesWhereItNamed) {
  const std::size_t count = 3 * AheadFileMaker::kMinimumFiles;
  UniqueFileMaker maker(scratch_.path());
  AheadFileMaker ahead(maker, Names(count));
  for (std::size_t i = 0; i < count; ++i) {
    std::string stored;
    std::FILE* stream = nullptr;
    ASSERT_EQ(ahead.Take(i, &stored, &stream), 0) << i;
    EXPECT_EQ(stored, "file" + std::to_string(i) + "3C000000.x");
    std::fputs(stored.c_str(), stream);
    ASSERT_EQ(std::fclose(stream), 0);
    EXPECT_EQ(FileBytes(scratch_.Join(stored)), stored);
  }
}

TEST_F(AheadFileMakerTest, FilesMadeAheadAndNotTakenAreRemoved) {
  const std::size_t count = 4 * AheadFileMaker::kMinimumFiles;
  UniqueFileMaker maker(scratch_.path());
  std::vector<std::string> taken;
  {
    AheadFileMaker ahead(maker, Names(count));
    for (std::size_t i = 0; i < 3; ++i) {
      std::string stored;
      std::FILE* stream = nullptr;
      ASSERT_EQ(ahead.Take(i, &stored, &stream), 0);
      std::fclose(stream);
      taken.push_back(stored);
    }
  }
  EXPECT_EQ(ListDirectory(scratch_.path()), taken);
}

TEST_F(AheadFileMakerTest, AFailureAheadIsTriedAgainAndAPersistentOneReported) {
  const std::size_t count = 2 * AheadFileMaker::kMinimumFiles;
  struct Case {
    std::vector<int> fail_at;
    std::size_t first_error;  // count when every file is made
  };
  for (const Case& c : {Case{{5}, count}, Case{{5, 6}, 4}}) {
    FailingEnv env;
    env.fail_at = c.fail_at;
    SetCurrentEnv(&env);
    UniqueFileMaker maker(scratch_.Join(std::to_string(c.fail_at.size())) +
                          kPathSeparator);
    ASSERT_TRUE(FilePath(maker.directory()).MakeDirectory());
    std::size_t i = 0;
    {
      AheadFileMaker ahead(maker, Names(count));
      for (; i < count; ++i) {
        std::string stored;
        std::FILE* stream = nullptr;
        const int error = ahead.Take(i, &stored, &stream);
        if (error != 0) {
          EXPECT_EQ(error, EMFILE);
          break;
        }
        std::fclose(stream);
      }
    }
    SetCurrentEnv(&env_);
    EXPECT_EQ(i, c.first_error);
  }
}

}  // namespace
}  // namespace brackenfold
