// Installations killed with SIGKILL part-way never leave a cut or garbled
// index: afterwards the store's compindx.dat is the old index or the old one
// plus the new entry, whole, and every file it names is complete.
//
// Two ways of killing: bfold install ended at random moments of its run
// (payload writes, index reading and replacement, all alike), and, without
// any timing at all, an installation in a child process that kills itself at
// its n-th file-system call through the Env, for every n up to the end.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "component/component_install.h"
#include "tests/component/component_test_support.h"
#include "tests/reliability/reliability_support.h"

namespace brackenfold {
namespace {

std::string Noise(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

// A store index of many entries, so that reading and replacing it takes a
// noticeable part of an installation.
std::vector<IndexEntry> LargeIndex(int count) {
  std::vector<IndexEntry> entries;
  for (int i = 0; i < count; ++i) {
    IndexEntry entry;
    entry.id = "OLD" + std::to_string(i);
    entry.version = i;
    entry.files["lib" + std::to_string(i) + ".dll"] =
        "lib" + std::to_string(i) + "00000000.dll";
    entries.push_back(entry);
  }
  return entries;
}

// What a kill may leave: the old index, or the old index plus one entry for
// id whose files are all there with the given contents.
void ExpectOldOrNew(const std::string& store, const std::string& old_text,
                    const std::string& id, const std::string& payload,
                    bool* became_new) {
  std::vector<IndexEntry> entries;
  std::string why;
  ASSERT_TRUE(ReadIndexStrictly(store + "compindx.dat", &entries, &why)) << why;
  const std::string text = FileBytes(store + "compindx.dat");
  if (text == old_text) {
    *became_new = false;
    return;
  }
  *became_new = true;
  ASSERT_EQ(text.compare(0, old_text.size(), old_text), 0)
      << "the old entries changed";
  ASSERT_FALSE(entries.empty());
  const IndexEntry& added = entries.back();
  EXPECT_EQ(added.id, id);
  ASSERT_EQ(added.files.size(), 1u);
  EXPECT_TRUE(FileBytes(store + added.files.begin()->second) == payload)
      << "the new entry's payload is not whole";
  std::set<std::string> stored;
  EXPECT_TRUE(CollectStoredNames(entries, &stored));
}

// Removes payload files that no entry names (left by killed runs), so the
// store does not grow without bound.
void RemoveUnreferenced(const std::string& store) {
  std::vector<IndexEntry> entries;
  std::string why;
  if (!ReadIndexStrictly(store + "compindx.dat", &entries, &why)) return;
  std::set<std::string> stored;
  CollectStoredNames(entries, &stored);
  for (const std::string& file : ListDirectory(store)) {
    if (file.rfind("compindx.dat", 0) == 0 || stored.count(file) != 0) continue;
    FilePath(store + file).RemoveFile();
  }
}

class CrashSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = scratch_.Join("store/");
    tmp_ = scratch_.Join("tmp/");
    ASSERT_TRUE(FilePath(store_).MakeDirectory());
    ASSERT_TRUE(FilePath(tmp_).MakeDirectory());
    ASSERT_TRUE(
        ReplaceIndexFile(FilePath(store_ + "compindx.dat"), LargeIndex(2000)));
  }
  ScratchDirectory scratch_;
  std::string store_;
  std::string tmp_;
};

TEST_F(CrashSafetyTest, BfoldInstallKilledAtRandomMomentsLeavesOldOrNewIndex) {
  constexpr int kIterations = 50;
  std::mt19937 random(20240611);
  const std::string payload = Noise(1 << 20, 7);

  // One whole run first, to learn how long an installation takes here.
  BlobFiles first = ComponentFiles("FIRST", 1);
  first.emplace_back("payload.bin", payload);
  ASSERT_TRUE(WriteSignedBlob(scratch_.Join("first.blob"), first));
  const auto start = std::chrono::steady_clock::now();
  const pid_t whole =
      StartBfold({"install", "--dir", store_, scratch_.Join("first.blob")},
                 scratch_.Join("out"), scratch_.Join("err"), tmp_);
  ASSERT_EQ(WaitForChild(whole), 0) << FileBytes(scratch_.Join("err"));
  const long run_us =
      static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count());

  int left_old = 0, left_new = 0, finished = 0;
  for (int i = 0; i < kIterations; ++i) {
    const std::string id = "KILL" + std::to_string(i);
    BlobFiles files = ComponentFiles(id, 1);
    files.emplace_back("payload.bin", payload);
    const std::string blob = scratch_.Join("kill.blob");
    ASSERT_TRUE(WriteSignedBlob(blob, files));
    const std::string old_text = FileBytes(store_ + "compindx.dat");

    const long delay_us =
        std::uniform_int_distribution<long>(0, run_us)(random);
    const pid_t child =
        StartBfold({"install", "--dir", store_, blob}, scratch_.Join("out"),
                   scratch_.Join("err"), tmp_);
    const timespec pause{delay_us / 1000000, (delay_us % 1000000) * 1000};
    ::nanosleep(&pause, nullptr);
    ::kill(child, SIGKILL);
    const int status = WaitForChild(child);
    ASSERT_TRUE(status == 0 || status == -SIGKILL)
        << "status " << status << ": " << FileBytes(scratch_.Join("err"));
    if (status == 0) ++finished;

    bool became_new = false;
    ExpectOldOrNew(store_, old_text, id, payload, &became_new);
    if (HasFatalFailure()) return;
    if (status == 0) {
      EXPECT_TRUE(became_new) << "a finished run lost its entry";
    }
    (became_new ? left_new : left_old) += status == 0 ? 0 : 1;
    RemoveUnreferenced(store_);
  }
  std::printf("killed runs: %d left the old index, %d the new; %d finished\n",
              left_old, left_new, finished);
}

// Kills itself at the n-th call of the file operations below.
class KillingEnv : public FakeEnv {
 public:
  explicit KillingEnv(int kill_at) : kill_at_(kill_at) {}

  std::uint32_t FileAttributes(const std::string& path) override {
    Step();
    return FakeEnv::FileAttributes(path);
  }
  bool NewDirectory(const std::string& path) override {
    Step();
    return FakeEnv::NewDirectory(path);
  }
  bool RemoveFileAt(const std::string& path) override {
    Step();
    return FakeEnv::RemoveFileAt(path);
  }
  int CreateFileIn(const std::string& directory, const std::string& name,
                   std::FILE** stream) override {
    Step();
    const int result = FakeEnv::CreateFileIn(directory, name, stream);
    Step();  // between creating a file and writing it
    return result;
  }
  bool RemoveFileIn(const std::string& directory,
                    const std::string& name) override {
    Step();
    return FakeEnv::RemoveFileIn(directory, name);
  }
  std::unique_ptr<HeldLockFile> CreateLockFileIn(const std::string& directory,
                                                 const std::string& name,
                                                 int* error) override {
    Step();
    return FakeEnv::CreateLockFileIn(directory, name, error);
  }
  std::FILE* OpenStreamDenyWrite(const std::string& path,
                                 const char* mode) override {
    Step();
    return FakeEnv::OpenStreamDenyWrite(path, mode);
  }
  bool FlushStreamToDisk(std::FILE* stream) override {
    Step();  // the temporary index written, not yet flushed
    const bool flushed = FakeEnv::FlushStreamToDisk(stream);
    Step();
    return flushed;
  }
  bool MoveFileIn(const std::string& directory, const std::string& from,
                  const std::string& to) override {
    Step();
    const bool moved = FakeEnv::MoveFileIn(directory, from, to);
    Step();  // the new index in place, the lock still held
    return moved;
  }

 private:
  void Step() {
    if (++calls_ == kill_at_) ::raise(SIGKILL);
  }
  int kill_at_;
  int calls_ = 0;
};

TEST_F(CrashSafetyTest, InstallKilledAtEveryFileOperationLeavesOldOrNewIndex) {
  const std::string payload = Noise(200 * 1024, 11);
  bool completed = false;
  int kills = 0;
  for (int n = 1; n < 100 && !completed; ++n) {
    const std::string id = "STEP" + std::to_string(n);
    BlobFiles files = ComponentFiles(id, 1);
    files.emplace_back("payload.bin", payload);
    const std::string blob = scratch_.Join("step.blob");
    ASSERT_TRUE(WriteSignedBlob(blob, files));
    const std::string old_text = FileBytes(store_ + "compindx.dat");

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      KillingEnv env(n);
      // A clock of its own per run, so the stored names of earlier runs are
      // not in the way and every run makes the same calls.
      env.now += static_cast<std::uint32_t>(n) << 8;
      SetCurrentEnv(&env);
      const bool ok = InstallComponents({}, FilePath(store_),
                                        std::vector<FilePath>{FilePath(blob)});
      ::_exit(ok ? 0 : 3);
    }
    const int status = WaitForChild(child);
    ASSERT_TRUE(status == 0 || status == -SIGKILL)
        << "step " << n << ": " << status;
    completed = status == 0;
    if (!completed) ++kills;
    bool became_new = false;
    ExpectOldOrNew(store_, old_text, id, payload, &became_new);
    if (HasFatalFailure()) return;
    if (completed) {
      EXPECT_TRUE(became_new);
    }
    RemoveUnreferenced(store_);
  }
  EXPECT_TRUE(completed) << "the installation never ran to its end";
  EXPECT_GT(kills, 5);
}

}  // namespace
}  // namespace brackenfold
