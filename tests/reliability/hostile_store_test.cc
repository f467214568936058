// A hostile store and a hostile blob: someone who can write in a shared store
// directory, or write or rename the blob file while it is installed, tries to
// make the installer write outside the store, read a private file into the
// index, or install bytes that were never signed. Each test replays one class
// of attack through InstallComponents; docs/robustness.md lists them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "component/component_install.h"
#include "store/file_path.h"
#include "tests/component/component_test_support.h"
#include "tests/support/blob_builder.h"
#include "tests/support/fake_env.h"

namespace brackenfold {
namespace {

const std::string kGood(4096, 'G');  // the signed payload
const std::string kEvil(4096, 'E');  // what an attacker wants installed

// Runs hook once, at the first file the installer makes in the store (the
// lock file comes first: the blobs have been checked by then).
class HookEnv : public FakeEnv {
 public:
  std::function<void()> hook;
  int creations = 0;

  std::unique_ptr<HeldLockFile> CreateLockFileIn(const std::string& directory,
                                                 const std::string& name,
                                                 int* error) override {
    Fire();
    return FakeEnv::CreateLockFileIn(directory, name, error);
  }
  int CreateFileIn(const std::string& directory, const std::string& name,
                   std::FILE** stream) override {
    Fire();
    ++creations;
    int result = FakeEnv::CreateFileIn(directory, name, stream);
    if (result == 0 && after_create) after_create(directory + name);
    return result;
  }
  std::function<void(const std::string&)> after_create;

 private:
  void Fire() {
    if (hook) std::exchange(hook, nullptr)();
  }
};

class HostileStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = SetCurrentEnv(&env_);
    store_ = scratch_.Join("store/");
    outside_ = scratch_.Join("outside/");
    ASSERT_TRUE(FilePath(store_).MakeDirectory());
    ASSERT_TRUE(FilePath(outside_).MakeDirectory());
    victim_ = outside_ + "victim";
    ASSERT_TRUE(WriteFileBytes(victim_, "secret\n"));
  }
  void TearDown() override { SetCurrentEnv(previous_); }

  std::string Blob(const std::string& file, const std::string& id,
                   std::vector<RawFork> payload,
                   const std::string& prereq = "") {
    std::vector<RawFork> forks = {
        GoodFork("component/description", "d"), GoodFork("component/id", id),
        GoodFork("component/prereq", prereq), GoodFork("component/title", "t"),
        GoodFork("component/version", "1")};
    forks.insert(forks.end(), payload.begin(), payload.end());
    const std::string path = scratch_.Join(file);
    EXPECT_TRUE(WriteFileBytes(path, BuildSignedRawBlob(forks)));
    return path;
  }

  // InstallComponents with its stderr line kept in err_.
  bool Install(const std::vector<std::string>& blobs) {
    std::vector<FilePath> paths(blobs.begin(), blobs.end());
    testing::internal::CaptureStderr();
    bool ok = InstallComponents({}, FilePath(store_), paths);
    err_ = testing::internal::GetCapturedStderr();
    return ok;
  }

  HookEnv env_;
  Env* previous_ = nullptr;
  ScratchDirectory scratch_;
  std::string store_, outside_, victim_, err_;
};

TEST_F(HostileStoreTest, LinkAtEveryNameTheInstallerMakesIsNeverFollowed) {
  const struct {
    const char* name;
    bool installs;  // the installer works around it, or refuses clearly
    const char* says;
  } cases[] = {
      {"compindx.dat.tmp", true, ""},  // removed like a crash's leftover
      {"compindx.dat", false, "is a link"},
      {"compindx.dat.lock", false, "is a link"},
      {"a3C000000.txt", true, ""},  // the next unique name is taken
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string blob = Blob("a.blob", "A", {GoodFork("a.txt", kGood)});
    ASSERT_EQ(::symlink(victim_.c_str(), (store_ + c.name).c_str()), 0);
    // A dangling link too: nothing may be created where it points.
    const std::string nowhere = outside_ + "nowhere";
    EXPECT_EQ(Install({blob}), c.installs) << err_;
    EXPECT_NE(err_.find(c.says), std::string::npos) << err_;
    EXPECT_EQ(FileBytes(victim_), "secret\n");
    ::unlink((store_ + c.name).c_str());
    for (const std::string& name : ListDirectory(store_)) {
      ::unlink((store_ + name).c_str());
    }
    ASSERT_EQ(::symlink(nowhere.c_str(), (store_ + c.name).c_str()), 0);
    Install({blob});
    EXPECT_FALSE(PathExists(nowhere));
    ::unlink((store_ + c.name).c_str());
    for (const std::string& name : ListDirectory(store_)) {
      ::unlink((store_ + name).c_str());
    }
  }
}

TEST_F(HostileStoreTest, LinkSwappedInAfterAPayloadFileIsMadeIsNotWrittenTo) {
  env_.after_create = [this](const std::string& path) {
    if (path.find("a3C") == std::string::npos) return;
    ::unlink(path.c_str());
    ASSERT_EQ(::symlink(victim_.c_str(), path.c_str()), 0);
  };
  Install({Blob("a.blob", "A", {GoodFork("a.txt", kGood)})});
  EXPECT_EQ(FileBytes(victim_), "secret\n");
}

TEST_F(HostileStoreTest, PayloadThroughALinkedSubdirectoryIsRefused) {
  ASSERT_EQ(::symlink(outside_.c_str(), (store_ + "sub").c_str()), 0);
  EXPECT_FALSE(Install({Blob("a.blob", "A", {GoodFork("sub/x.txt", kGood)})}));
  EXPECT_NE(err_.find("payload 'sub/x.txt'"), std::string::npos) << err_;
  EXPECT_NE(err_.find("is a link"), std::string::npos) << err_;
  EXPECT_EQ(ListDirectory(outside_), std::vector<std::string>{"victim"});
}

// The blob's bytes with its payload's compressed data replaced by data of the
// same length that inflates to kEvil: a rewrite no digest check after the
// first one would see.
std::string Tampered(const std::string& blob) {
  const std::string good = ZlibCompress(kGood), evil = ZlibCompress(kEvil);
  EXPECT_EQ(good.size(), evil.size());
  std::string tampered = blob;
  const std::size_t at = tampered.rfind(good);
  EXPECT_NE(at, std::string::npos);
  if (at != std::string::npos) tampered.replace(at, good.size(), evil);
  return tampered;
}

TEST_F(HostileStoreTest, BlobRewrittenAfterTheCheckInstallsOnlySignedBytes) {
  // At the lock (after the check) and again at the payload file's creation
  // (inside the extraction's open, where a second digest pass would be
  // over), the blob file is rewritten in place.
  const std::string blob = Blob("a.blob", "A", {GoodFork("a.txt", kGood)});
  const std::string signed_bytes = FileBytes(blob);
  const std::string tampered = Tampered(signed_bytes);
  auto rewrite = [&] {
    std::FILE* f = std::fopen(blob.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fwrite(tampered.data(), 1, tampered.size(), f);
    std::fclose(f);
  };
  for (int when = 0; when < 2; ++when) {
    SCOPED_TRACE(when);
    for (const std::string& name : ListDirectory(store_)) {
      ::unlink((store_ + name).c_str());
    }
    ASSERT_TRUE(WriteFileBytes(blob, signed_bytes));
    if (when == 0) env_.hook = rewrite;
    if (when == 1) {
      env_.after_create = [&](const std::string&) {
        env_.after_create = nullptr;
        rewrite();
      };
    }
    // The blob checked stays the blob installed: the install goes through,
    // with the signed bytes.
    EXPECT_TRUE(Install({blob})) << err_;
    EXPECT_EQ(FileBytes(store_ + "a3C000000.txt"), kGood);
    EXPECT_EQ(FileBytes(blob), tampered);  // the attack did take place
  }
}

TEST_F(HostileStoreTest, BlobSwappedByRenameAfterTheCheckIsNotInstalled) {
  const std::string blob = Blob("a.blob", "A", {GoodFork("a.txt", kGood)});
  // Validly signed, but its prerequisite is met nowhere.
  const std::string other =
      Blob("other.blob", "OTHER", {GoodFork("a.txt", kEvil)}, "1,MISSING,5");
  env_.hook = [&] { ASSERT_EQ(std::rename(other.c_str(), blob.c_str()), 0); };
  EXPECT_TRUE(Install({blob})) << err_;
  EXPECT_EQ(FileBytes(store_ + "a3C000000.txt"), kGood);
  EXPECT_EQ(FileBytes(store_ + "compindx.dat").find("OTHER"),
            std::string::npos);
  EXPECT_FALSE(PathExists(other));  // the swap did take place
}

TEST_F(HostileStoreTest, NulNamesAndIdsTheIndexCannotHoldWriteNothing) {
  const struct {
    const char* what;
    std::string id;
    std::string payload_name;
  } cases[] = {
      {"NUL in a payload name", "A", std::string("b\0c.txt", 7)},
      {"blank id", " \t ", "b.txt"},
      {"line break in the id", "A\nB", "b.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // "a.txt" sorts first: it would be written before the bad one is met.
    const std::string blob =
        Blob("bad.blob", c.id,
             {GoodFork("a.txt", kGood), GoodFork(c.payload_name, kGood)});
    EXPECT_FALSE(Install({blob}));
    EXPECT_NE(err_.find("bad.blob"), std::string::npos) << err_;
    EXPECT_EQ(ListDirectory(store_), std::vector<std::string>{}) << err_;
  }
}

TEST_F(HostileStoreTest, ManyFilesOfOnePatternCostOneCreationEach) {
  UniqueFileMaker maker(store_);
  for (int i = 0; i < 300; ++i) {
    std::string stored;
    std::FILE* stream = nullptr;
    ASSERT_EQ(maker.Create("x", ".txt", &stored, &stream), 0);
    std::fclose(stream);
  }
  EXPECT_EQ(env_.creations, 300);
}

}  // namespace
}  // namespace brackenfold
