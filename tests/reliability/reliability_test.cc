// Installations that are killed, contend for one store, fail part-way, or
// meet a hostile store or blob: the index is always the old one or the old
// one plus whole new entries, and nothing is written where it must not be.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "component/component_install.h"
#include "tests/component/component_test_support.h"

namespace brackenfold {
namespace {

using Names = std::vector<std::string>;
using std::string_literals::operator""s;

const std::string kGood(4096, 'G');  // the signed payload
const std::string kEvil(4096, 'E');  // what an attacker wants installed

// Runs hook at the store lock's creation (the blobs have been checked by
// then) and after_create after each file made in the store; raises SIGKILL at
// the kill_at-th file operation that changes the store.
class HookEnv : public FakeEnv {
 public:
  std::function<void()> hook;
  std::function<void(const std::string&)> after_create;
  int kill_at = 0, steps = 0;

  std::unique_ptr<HeldLockFile> CreateLockFileIn(const std::string& directory,
                                                 const std::string& name,
                                                 int* error) override {
    Step();
    if (hook) std::exchange(hook, nullptr)();
    return FakeEnv::CreateLockFileIn(directory, name, error);
  }
  int CreateFileIn(const std::string& directory, const std::string& name,
                   std::FILE** stream) override {
    Step();
    const int result = FakeEnv::CreateFileIn(directory, name, stream);
    Step();  // between making a file and writing it
    if (result == 0 && after_create) after_create(directory + name);
    return result;
  }
  bool RemoveFileIn(const std::string& directory,
                    const std::string& name) override {
    Step();
    return FakeEnv::RemoveFileIn(directory, name);
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
    if (++steps == kill_at) ::raise(SIGKILL);
  }
};

class ReliabilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    real_ = SetCurrentEnv(&env_);
    store_ = scratch_.Join("store/");
    outside_ = scratch_.Join("outside/");
    ASSERT_TRUE(FilePath(store_).MakeDirectory());
    ASSERT_TRUE(FilePath(outside_).MakeDirectory());
    ASSERT_TRUE(WriteFileBytes(outside_ + "victim", "secret\n"));
  }
  void TearDown() override { SetCurrentEnv(real_); }

  std::string Blob(const std::string& file, const std::string& id,
                   const std::vector<RawFork>& payload,
                   const std::string& prereq = "") {
    std::vector<RawFork> forks = {
        GoodFork("component/description", "d"), GoodFork("component/id", id),
        GoodFork("component/prereq", prereq), GoodFork("component/title", "t"),
        GoodFork("component/version", "1")};
    forks.insert(forks.end(), payload.begin(), payload.end());
    EXPECT_TRUE(WriteFileBytes(scratch_.Join(file), BuildSignedRawBlob(forks)));
    return scratch_.Join(file);
  }
  // InstallComponents with its standard error kept in err_.
  bool Install(const std::vector<std::string>& blobs) {
    testing::internal::CaptureStderr();
    const bool ok =
        InstallComponents({}, FilePath(store_),
                          std::vector<FilePath>(blobs.begin(), blobs.end()));
    err_ = testing::internal::GetCapturedStderr();
    return ok;
  }
  // The index's entries; the test fails unless the file is exactly what the
  // writer makes of them, so a cut or garbled index is caught.
  std::vector<IndexEntry> WholeIndex() {
    std::vector<IndexEntry> entries;
    IndexReader reader;
    IndexEntry e;
    reader.Open(store_ + kIndexFileName);  // no index: no entries
    while (reader.ReadEntry(&e.id, &e.version, &e.files)) entries.push_back(e);
    EXPECT_EQ(IndexText(entries), FileBytes(store_ + kIndexFileName));
    return entries;
  }
  void EmptyStore() {
    for (const std::string& name : ListDirectory(store_))
      ::unlink((store_ + name).c_str());
  }
  // Installs in a child process, after setup there.
  pid_t StartInstall(const std::vector<std::string>& blobs,
                     const std::function<void()>& setup) {
    const pid_t child = ::fork();
    if (child == 0) {
      setup();
      ::_exit(Install(blobs) ? 0 : 1);
    }
    return child;
  }
  // Its exit status, or -signal.
  static int Wait(pid_t child) {
    int status = 0;
    if (::waitpid(child, &status, 0) != child) return -1000;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }

  HookEnv env_;
  Env* real_ = nullptr;
  ScratchDirectory scratch_;
  std::string store_, outside_, err_;
};

TEST_F(ReliabilityTest, InstallKilledAtEveryFileOperationLeavesOldOrNewIndex) {
  std::vector<IndexEntry> old;
  for (int i = 0; i < 2000; ++i)
    old.push_back({"OLD" + std::to_string(i), i, {{"lib.dll", "lib.dll"}}});
  ASSERT_TRUE(ReplaceIndexFile(FilePath(store_ + kIndexFileName), old));
  const std::string before = FileBytes(store_ + kIndexFileName);
  const std::string payload(200 * 1024, 'p');
  int n = 0;
  for (bool completed = false; !completed;) {
    ASSERT_LT(++n, 100) << "the installation never ran to its end";
    const std::string id = "STEP" + std::to_string(n);
    const std::string blob =
        Blob("step.blob", id, {GoodFork("payload.bin", payload)});
    // A killed holder's lock does not stop the next run.
    const int status = Wait(StartInstall({blob}, [&] {
      env_.kill_at = n;
      env_.steps = 0;
      env_.now += static_cast<std::uint32_t>(n) << 8;  // names of its own
    }));
    ASSERT_TRUE(status == 0 || status == -SIGKILL) << n << ": " << status;
    completed = status == 0;
    const std::vector<IndexEntry> entries = WholeIndex();
    const std::string after = FileBytes(store_ + kIndexFileName);
    if (after == before) {
      EXPECT_FALSE(completed) << "a finished run lost its entry";
      continue;
    }
    ASSERT_EQ(after.compare(0, before.size(), before), 0) << n;
    ASSERT_EQ(entries.size(), old.size() + 1) << n;
    EXPECT_EQ(entries.back().id, id);
    EXPECT_TRUE(FileBytes(store_ + entries.back().files.at("payload.bin")) ==
                payload);
    ASSERT_TRUE(WriteFileBytes(store_ + kIndexFileName, before));
  }
  EXPECT_GT(n, 5);
}

TEST_F(ReliabilityTest, InstallersContendingForOneStoreSucceedOrFailCleanly) {
  std::map<std::string, std::string> payloads;  // id -> payload
  std::set<std::string> installed;
  for (int round = 0; round < 3; ++round) {
    std::vector<std::string> ids;
    std::vector<pid_t> children;
    for (int i = 0; i < 8; ++i) {
      ids.push_back("R" + std::to_string(round) + "C" + std::to_string(i));
      payloads[ids.back()] = std::string(48 * 1024, 'a' + i) + ids.back();
      // One payload name in every blob: the stored names must still differ.
      const std::string blob =
          Blob(ids.back() + ".blob", ids.back(),
               {GoodFork("shared.bin", payloads[ids.back()])});
      // The real clock and real waiting.
      children.push_back(StartInstall({blob}, [&] { SetCurrentEnv(real_); }));
    }
    const std::size_t before = installed.size();
    for (int i = 0; i < 8; ++i) {
      const int status = Wait(children[i]);
      ASSERT_TRUE(status == 0 || status == 1) << ids[i] << ": " << status;
      if (status == 0) installed.insert(ids[i]);
    }
    EXPECT_GT(installed.size(), before) << "round " << round;
    std::set<std::string> ids_seen, stored;
    for (const IndexEntry& entry : WholeIndex()) {
      EXPECT_TRUE(ids_seen.insert(entry.id).second) << entry.id;
      const std::string& name = entry.files.at("shared.bin");
      EXPECT_TRUE(stored.insert(name).second) << name << " named twice";
      EXPECT_TRUE(FileBytes(store_ + name) == payloads[entry.id]) << name;
    }
    EXPECT_EQ(ids_seen, installed);
    // A process that failed wrote nothing.
    for (const std::string& file : ListDirectory(store_)) {
      if (file.rfind(kIndexFileName, 0) == 0) continue;
      EXPECT_EQ(stored.count(file), 1u) << "unreferenced file " << file;
    }
  }
}

TEST_F(ReliabilityTest, FailedInstallsLeaveTheStoreAsItWas) {
  std::vector<IndexEntry> many;
  for (int i = 0; i < 3000; ++i)
    many.push_back({"E" + std::to_string(i), i, {{"f.dll", "f.dll"}}});
  const std::string old_index = IndexText(many);
  ASSERT_TRUE(WriteFileBytes(store_ + kIndexFileName, old_index));
  const std::string big(128 * 1024, 'B');
  ASSERT_GT(old_index.size(), big.size() + 4096);
  const std::string blob = Blob("big.blob", "BIG", {GoodFork("big.bin", big)});
  // Signed, but the payload's data is cut short or its recorded size is wrong.
  RawFork cut = GoodFork("big.bin", big), wrong_size = cut;
  cut.data.resize(cut.data.size() / 2);
  wrong_size.uncompressed_size -= 1;
  const std::string cut_blob = Blob("cut.blob", "CUT", {cut});
  const std::string wrong_blob = Blob("wrong.blob", "WRONG", {wrong_size});
  // Names and ids the index cannot hold; "a.txt" sorts first: it would be
  // written before the bad one is met.
  int bad_blobs = 0;
  auto bad = [&](const std::string& id, const std::string& name) {
    return Blob("bad" + std::to_string(++bad_blobs) + ".blob", id,
                {GoodFork("a.txt", kGood), GoodFork(name, kGood)});
  };
  const rlim_t kNoLimit = RLIM_INFINITY;
  const struct {
    const char* what;
    std::vector<std::string> blobs;
    rlim_t limit;        // no file may grow past it: a full disk
    bool payload_stays;  // a whole payload file may stay
  } cases[] = {{"payload on a full disk", {blob}, 64 << 10, false},
               {"payload data cut short", {cut_blob}, kNoLimit, false},
               {"payload of another size", {wrong_blob}, kNoLimit, false},
               {"NUL in a name", {bad("A", "b\0c.txt"s)}, kNoLimit, false},
               {"blank id", {bad(" \t ", "b.txt")}, kNoLimit, false},
               {"line end in an id", {bad("A\nB", "b.txt")}, kNoLimit, false},
               {"index on a full disk", {blob}, big.size() + 4096, true}};
  for (const auto& c : cases) {
    const rlimit cap{c.limit, c.limit};
    const int status = Wait(StartInstall(c.blobs, [&] {
      ::signal(SIGXFSZ, SIG_IGN);  // writes then fail with EFBIG
      ::setrlimit(RLIMIT_FSIZE, &cap);
    }));
    EXPECT_EQ(status, 1) << c.what;
    EXPECT_EQ(FileBytes(store_ + kIndexFileName), old_index) << c.what;
    EXPECT_EQ(ListDirectory(store_),
              (c.payload_stays ? Names{"big3C000000.bin", kIndexFileName}
                               : Names{kIndexFileName}))
        << c.what;
  }
  // The components directory's parent is missing: nothing is made.
  EXPECT_FALSE(InstallComponents({}, FilePath(scratch_.Join("no/dir/")),
                                 {FilePath(blob)}));
  EXPECT_FALSE(PathExists(scratch_.Join("no")));
}

TEST_F(ReliabilityTest, LinkAtEveryNameTheInstallerMakesIsNeverFollowed) {
  // The installer works around the link, or refuses clearly.
  const std::tuple<const char*, bool, const char*> cases[] = {
      {"compindx.dat.tmp", true, ""},  // removed like a crash's leftover
      {"compindx.dat", false, "is a link"},
      {"compindx.dat.lock", false, "is a link"},
      {"a3C000000.txt", true, ""},  // the next unique name is taken
  };
  const std::string blob = Blob("a.blob", "A", {GoodFork("a.txt", kGood)});
  for (const auto& [name, installs, says] : cases) {
    // To a file outside, then dangling: nothing is created where it points.
    for (const std::string& target : {outside_ + "victim", outside_ + "none"}) {
      SCOPED_TRACE(std::string(name) + " -> " + target);
      ASSERT_EQ(::symlink(target.c_str(), (store_ + name).c_str()), 0);
      EXPECT_EQ(Install({blob}), installs) << err_;
      EXPECT_NE(err_.find(says), std::string::npos) << err_;
      EXPECT_EQ(FileBytes(outside_ + "victim"), "secret\n");
      EXPECT_FALSE(PathExists(outside_ + "none"));
      EmptyStore();
    }
  }
}

TEST_F(ReliabilityTest, LinkSwappedInOrOnTheWayIsNotWrittenThrough) {
  env_.after_create = [this](const std::string& path) {
    if (path.find("a3C") == std::string::npos) return;
    ::unlink(path.c_str());
    ASSERT_EQ(::symlink((outside_ + "victim").c_str(), path.c_str()), 0);
  };
  Install({Blob("a.blob", "A", {GoodFork("a.txt", kGood)})});
  EXPECT_EQ(FileBytes(outside_ + "victim"), "secret\n");
  env_.after_create = nullptr;

  ASSERT_EQ(::symlink(outside_.c_str(), (store_ + "sub").c_str()), 0);
  EXPECT_FALSE(Install({Blob("b.blob", "B", {GoodFork("sub/x.txt", kGood)})}));
  EXPECT_NE(err_.find("payload 'sub/x.txt'"), std::string::npos) << err_;
  EXPECT_NE(err_.find("is a link"), std::string::npos) << err_;
  EXPECT_EQ(ListDirectory(outside_), Names{"victim"});
}

TEST_F(ReliabilityTest, BlobRewrittenOrSwappedAfterTheCheckIsNotInstalled) {
  // Rewritten in place at the lock (after the check), or at the payload
  // file's creation (inside the extraction, where a second digest pass would
  // be over), with compressed data of the same length that inflates to kEvil;
  // or renamed over at the lock by a validly signed blob whose prerequisite
  // is met nowhere.
  const std::string blob = Blob("a.blob", "A", {GoodFork("a.txt", kGood)});
  const std::string other =
      Blob("other.blob", "OTHER", {GoodFork("a.txt", kEvil)}, "1,MISSING,5");
  const std::string signed_bytes = FileBytes(blob);
  const std::string good = ZlibCompress(kGood), evil = ZlibCompress(kEvil);
  ASSERT_EQ(good.size(), evil.size());
  std::string tampered = signed_bytes;
  tampered.replace(tampered.rfind(good), good.size(), evil);
  auto rewrite = [&] { ASSERT_TRUE(WriteFileBytes(blob, tampered)); };
  for (int when = 0; when < 3; ++when) {
    EmptyStore();
    ASSERT_TRUE(WriteFileBytes(blob, signed_bytes));
    if (when == 0) env_.hook = rewrite;
    if (when == 1) {
      env_.after_create = [&](const std::string&) {
        env_.after_create = nullptr;
        rewrite();
      };
    }
    if (when == 2) {
      env_.hook = [&] {
        ASSERT_EQ(std::rename(other.c_str(), blob.c_str()), 0);
      };
    }
    EXPECT_TRUE(Install({blob})) << err_;
    EXPECT_EQ(FileBytes(store_ + "a3C000000.txt"), kGood) << when;
    EXPECT_NE(FileBytes(blob), signed_bytes) << when;  // the attack took place
  }
}

}  // namespace
}  // namespace brackenfold
