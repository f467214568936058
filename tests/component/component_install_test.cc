#include "component/component_install.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/env.h"
#include "tests/component/component_test_support.h"

namespace brackenfold {
namespace {

using Names = std::vector<std::string>;

class InstallTest : public ComponentTest {
 protected:
  void SetUp() override {
    components_ = scratch_.Join("components") + kPathSeparator;
    recorder_ = FileBytes(InitRecorderPath());
    ASSERT_FALSE(recorder_.empty()) << InitRecorderPath();
  }
  bool Install(const std::vector<std::string>& blobs) {
    testing::internal::CaptureStderr();
    bool result = InstallComponents(
        {}, components_, std::vector<FilePath>(blobs.begin(), blobs.end()));
    stderr_ = testing::internal::GetCapturedStderr();
    return result;
  }
  std::string Stored(const std::string& name) const {
    return components_ + name;
  }
  std::string Index() const { return FileBytes(Stored(kIndexFileName)); }
  std::string Calls(const std::string& library) const {
    return FileBytes(Stored(library) + ".calls");
  }
  // A blob of component id, version 1, with the payload (and descriptor
  // files) given.
  std::string Blob(const std::string& id, BlobFiles files) {
    BlobFiles all = ComponentFiles(id, 1);
    all.insert(all.end(), files.begin(), files.end());
    return WriteBlob(std::to_string(++blobs_) + ".blob", all);
  }
  void WriteOldIndex(const std::string& text) {
    ASSERT_TRUE(FilePath(components_).MakeDirectory());
    ASSERT_TRUE(WriteFileBytes(Stored(kIndexFileName), text));
  }

  std::string components_, recorder_, stderr_;
  int blobs_ = 0;
  const std::string old_index_ =
      IndexText({IndexEntry{"OLD", 1, {{"old.dll", "old3C000000.dll"}}}});
};

// Stored names take the next free number before the last dot (not a leading
// one), in the payload's subdirectory, recorded relative to the store; an
// exposed name is registered, the first payload keeping one that two share;
// every install adds its entries after the old ones; the library named is
// called with the entries; descriptor files and the lock never stay.
TEST_F(InstallTest, StoresPayloadIndexesItAndCallsTheLibrary) {
  std::string a =
      Blob("A", {{"bin/x.dll", recorder_},
                 {".profile", "p"},
                 {"archive.tar.gz", "t"},
                 {"y.dll", "y"},
                 {"v.dll", "v"},
                 {"component/initialize", "bin/x.dll\n"},
                 {"component/expose", "bin/x.dll,y.dll\nV.dll,v.dll\n"}});
  // B names a file that is not a library: nothing is called, and it installs.
  std::string b =
      Blob("B", {{"x.dll", "from b"}, {"component/initialize", "x.dll"}});
  ASSERT_TRUE(FilePath(components_).MakeDirectory());
  ASSERT_TRUE(FilePath(Stored("bin")).MakeDirectory());
  ASSERT_TRUE(Install({a, b})) << stderr_;
  ASSERT_TRUE(Install({b})) << stderr_;
  const IndexEntry first{"A",
                         1,
                         {{".profile", ".profile3C000000"},
                          {"V.dll", "v3C000000.dll"},
                          {"archive.tar.gz", "archive.tar3C000000.gz"},
                          {"bin/x.dll", "bin/x3C000000.dll"}}};
  EXPECT_EQ(Index(),
            IndexText({first, IndexEntry{"B", 1, {{"x.dll", "x3C000000.dll"}}},
                       IndexEntry{"B", 1, {{"x.dll", "x3C000001.dll"}}}}));
  EXPECT_NE(Calls("bin/x3C000000.dll").find("\ncount=4\n.profile;"),
            std::string::npos);
  EXPECT_EQ(ListDirectory(components_),
            (Names{".profile3C000000", "archive.tar3C000000.gz", "bin",
                   "compindx.dat", "v3C000000.dll", "x3C000000.dll",
                   "x3C000001.dll", "y3C000000.dll"}));
  EXPECT_EQ(stderr_, "");
}

// Enough files for the installation to make and close them on threads of
// their own, some longer than its write buffer: each is stored byte for byte
// under its own name.
TEST_F(InstallTest, ManyFilesAndLongOnesAreStoredByteForByte) {
  BlobFiles files;
  Names expected{kIndexFileName};
  for (std::size_t i = 0; i < 12; ++i) {
    const std::string name = "f" + std::to_string(i);
    files.push_back({name, std::string(i * 97 * 1024 + i, 'a' + i) + name});
    expected.push_back(name + "3C000000");
  }
  ASSERT_TRUE(Install({Blob("MANY", files)})) << stderr_;
  for (const auto& [name, bytes] : files) {
    EXPECT_EQ(FileBytes(Stored(name + "3C000000")), bytes) << name;
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ListDirectory(components_), expected);
}

TEST_F(InstallTest, FailureInTheThirdBlobLeavesTheIndexAsItWas) {
  WriteOldIndex(old_index_);
  std::string a =
      Blob("A", {{"a.dll", recorder_}, {"component/initialize", "a.dll"}});
  std::string b = Blob("B", {{"b.txt", "b"}});
  std::string c = Blob("C", {{"sub/c.txt", "c"}});
  ASSERT_FALSE(Install({a, b, c}));
  EXPECT_NE(stderr_.find("InstallComponents: blob '" + c + "'"),
            std::string::npos)
      << stderr_;
  EXPECT_EQ(Index(), old_index_);
  EXPECT_EQ(FileBytes(Stored("b3C000000.txt")), "b");
  EXPECT_EQ(Calls("a3C000000.dll"), "");  // no initialisation after failure
  EXPECT_FALSE(PathExists(Stored("compindx.dat.lock")));
}

// Names that would not read back from the index as written, or that leave
// the store: the whole blob is refused before any of its files is written.
TEST_F(InstallTest, UnsafeOrUnrecordableNamesFailBeforeWritingTheBlob) {
  for (const char* name : {"semi;colon.txt", " blank.txt", "cr\r.txt",
                           "../escape.txt", "/tmp/abs.txt", "C:\\abs.txt"}) {
    std::string blob = Blob("A", {{"a.txt", "a"}, {name, "evil"}});
    EXPECT_FALSE(Install({blob})) << name;
    EXPECT_EQ(ListDirectory(components_), Names{}) << name;
  }
}

TEST_F(InstallTest, FailsWhenTheIndexIsADirectory) {
  ASSERT_TRUE(FilePath(components_).MakeDirectory());
  ASSERT_TRUE(FilePath(Stored(kIndexFileName)).MakeDirectory());
  EXPECT_FALSE(Install({Blob("A", {{"a.txt", "a"}})}));
  EXPECT_EQ(ListDirectory(components_), Names{kIndexFileName});
}

// Fails the flush (1) or the move (2) of the index replacement.
class IndexFailureEnv : public FakeEnv {
 public:
  int fail = 0;
  bool FlushStreamToDisk(std::FILE* stream) override {
    return fail != 1 && FakeEnv::FlushStreamToDisk(stream);
  }
  bool MoveFileIn(const std::string& directory, const std::string& from,
                  const std::string& to) override {
    return fail != 2 && FakeEnv::MoveFileIn(directory, from, to);
  }
};

// Also when an old entry cannot be written again (a NUL byte in a name).
TEST_F(InstallTest, IndexReplacementThatFailsKeepsTheOldIndexWhole) {
  std::string a =
      Blob("A", {{"a.dll", recorder_}, {"component/initialize", "a.dll"}});
  const std::string nul_entry =
      std::string("component= N\n\tinstalled_local= x") + '\0' +
      "y;z\ncomponentend\n";
  for (int fail : {0, 1, 2}) {
    IndexFailureEnv env;
    env.fail = fail;
    Env* previous = SetCurrentEnv(&env);
    const std::string old_index =
        fail == 0 ? old_index_ + nul_entry : old_index_;
    WriteOldIndex(old_index);
    bool result = Install({a});
    SetCurrentEnv(previous);
    EXPECT_FALSE(result) << fail;
    EXPECT_EQ(Index(), old_index) << fail;
    EXPECT_FALSE(PathExists(Stored("compindx.dat.tmp"))) << fail;
    EXPECT_EQ(Calls("a3C000000.dll"), "") << fail;
  }
}

}  // namespace
}  // namespace brackenfold
