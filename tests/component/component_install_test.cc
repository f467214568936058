#include "component/component_install.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "component/prerequisite_check.h"
#include "platform/env.h"
#include "store/store_lock.h"
#include "tests/component/component_test_support.h"

namespace brackenfold {
namespace {

BlobFiles Plus(BlobFiles files, const BlobFiles& more) {
  files.insert(files.end(), more.begin(), more.end());
  return files;
}

class InstallTest : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    components_ = scratch_.Join("components") + kPathSeparator;
    recorder_ = FileBytes(InitRecorderPath());
    ASSERT_FALSE(recorder_.empty()) << InitRecorderPath();
  }

  bool Install(const std::vector<std::string>& blobs) {
    std::vector<FilePath> paths(blobs.begin(), blobs.end());
    testing::internal::CaptureStderr();
    bool result = InstallComponents(Installed(), components_, paths);
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
  // A blob with a payload file; the recorder when initialize names it.
  std::string SimpleBlob(const std::string& file, const std::string& id,
                         int version, const BlobFiles& payload,
                         const std::string& prereq = "") {
    return WriteBlob(file, Plus(ComponentFiles(id, version, prereq), payload));
  }

  std::string components_;
  std::string recorder_;
  std::string stderr_;
};

TEST_F(InstallTest, StoresPayloadIndexesExposedNameAndCallsInit) {
  std::string viewer = WriteBlob(
      "viewer.blob", Plus(ComponentFiles("viewer", 3),
                          {{"bin.dat", "binary data"},
                           {"viewer.dll", recorder_},
                           {"component/initialize", "viewer.dll\n"},
                           {"component/expose", "Viewer.dll,viewer.dll\n"}}));
  ASSERT_TRUE(Install({viewer})) << stderr_;

  EXPECT_EQ(FileBytes(Stored("bin3C000000.dat")), "binary data");
  EXPECT_EQ(FileBytes(Stored("viewer3C000000.dll")), recorder_);
  EXPECT_EQ(Index(),
            "component= VIEWER\n"
            "\tversion= 3\n"
            "\tinstalled_local= Viewer.dll;viewer3C000000.dll\n"
            "\tinstalled_local= bin.dat;bin3C000000.dat\n"
            "componentend\n");
  EXPECT_EQ(Calls("viewer3C000000.dll"),
            "library=" + Stored("viewer3C000000.dll") +
                "\n"
                "count=2\n"
                "Viewer.dll;viewer3C000000.dll\n"
                "bin.dat;bin3C000000.dat\n"
                "end\n");
  // Descriptor files never land in the store; the lock file is gone.
  EXPECT_EQ(ListDirectory(components_),
            (std::vector<std::string>{"bin3C000000.dat", "compindx.dat",
                                      "viewer3C000000.dll",
                                      "viewer3C000000.dll.calls"}));
  EXPECT_EQ(stderr_, "");
}

TEST_F(InstallTest, EmptyListRewritesOnlyCompleteEntries) {
  ASSERT_TRUE(Install({}));
  EXPECT_EQ(Index(), "");

  ASSERT_TRUE(WriteFileBytes(Stored(kIndexFileName),
                             "junk before\ncomponent= a\n\tversion= 2\n"
                             "componentend\ncomponent= CUT\n\tversion= 1\n"));
  ASSERT_TRUE(Install({}));
  EXPECT_EQ(Index(), "component= A\n\tversion= 2\ncomponentend\n");
}

TEST_F(InstallTest, ReinstallAddsFreshFilesAndASecondEntry) {
  std::string blob = SimpleBlob("a.blob", "A", 1, {{"a.txt", "one"}});
  ASSERT_TRUE(Install({blob}));
  ASSERT_TRUE(Install({blob}));
  EXPECT_EQ(Index(),
            IndexText({IndexEntry{"A", 1, {{"a.txt", "a3C000000.txt"}}},
                       IndexEntry{"A", 1, {{"a.txt", "a3C000001.txt"}}}}));
  EXPECT_EQ(FileBytes(Stored("a3C000000.txt")), "one");
  EXPECT_EQ(FileBytes(Stored("a3C000001.txt")), "one");
}

TEST_F(InstallTest, SamePayloadNameInTwoBlobsGetsTwoStoredNames) {
  std::string a = SimpleBlob("a.blob", "A", 1, {{"x.dll", "from a"}});
  std::string b = SimpleBlob("b.blob", "B", 1, {{"x.dll", "from b"}});
  ASSERT_TRUE(Install({a, b}));
  EXPECT_EQ(Index(),
            IndexText({IndexEntry{"A", 1, {{"x.dll", "x3C000000.dll"}}},
                       IndexEntry{"B", 1, {{"x.dll", "x3C000001.dll"}}}}));
  EXPECT_EQ(FileBytes(Stored("x3C000001.dll")), "from b");
}

TEST_F(InstallTest, NamesWithoutAnExtensionGetTheDigitsAtTheEnd) {
  std::string blob =
      SimpleBlob("a.blob", "A", 1,
                 {{"README", "r"}, {".profile", "p"}, {"archive.tar.gz", "t"}});
  ASSERT_TRUE(Install({blob}));
  EXPECT_EQ(
      Index(),
      IndexText({IndexEntry{"A",
                            1,
                            {{".profile", ".profile3C000000"},
                             {"README", "README3C000000"},
                             {"archive.tar.gz", "archive.tar3C000000.gz"}}}}));
  EXPECT_EQ(FileBytes(Stored(".profile3C000000")), "p");
}

TEST_F(InstallTest, FirstPayloadKeepsASharedRegisteredName) {
  // b.dll is exposed as a.dll: both files are written, a.dll's own entry
  // comes first in payload-name order and stays.
  std::string blob = SimpleBlob(
      "a.blob", "A", 1,
      {{"a.dll", "a"}, {"b.dll", "b"}, {"component/expose", "a.dll,b.dll\n"}});
  ASSERT_TRUE(Install({blob}));
  EXPECT_EQ(Index(),
            IndexText({IndexEntry{"A", 1, {{"a.dll", "a3C000000.dll"}}}}));
  EXPECT_EQ(FileBytes(Stored("b3C000000.dll")), "b");
}

TEST_F(InstallTest, InitialisationWithoutExposeListGetsPayloadNames) {
  std::string blob = SimpleBlob("a.blob", "A", 1,
                                {{"init.dll", recorder_},
                                 {"z.txt", "z"},
                                 {"component/initialize", "init.dll"}});
  ASSERT_TRUE(Install({blob}));
  EXPECT_EQ(Calls("init3C000000.dll"),
            "library=" + Stored("init3C000000.dll") +
                "\ncount=2\ninit.dll;init3C000000.dll\nz.txt;z3C000000.txt\n"
                "end\n");
}

TEST_F(InstallTest, InitialisationLibrariesRunInBlobOrderAfterTheIndex) {
  std::string a = SimpleBlob(
      "a.blob", "A", 1,
      {{"a.dll", recorder_}, {"component/initialize", "a.dll"}}, "1,B,1\n");
  std::string b =
      SimpleBlob("b.blob", "B", 1,
                 {{"b.dll", recorder_}, {"component/initialize", "b.dll"}});
  ASSERT_TRUE(Install({a, b}));
  EXPECT_NE(Calls("a3C000000.dll"), "");
  EXPECT_NE(Calls("b3C000000.dll"), "");
}

TEST_F(InstallTest, InitializeNamingNoPayloadOrNoEntryCallsNothing) {
  std::string without_entry = FileBytes(InitWithoutEntryPath());
  ASSERT_FALSE(without_entry.empty());
  std::string a =
      SimpleBlob("a.blob", "A", 1,
                 {{"a.dll", recorder_}, {"component/initialize", "other.dll"}});
  std::string b =
      SimpleBlob("b.blob", "B", 1,
                 {{"b.dll", without_entry}, {"component/initialize", "b.dll"}});
  std::string c = SimpleBlob(
      "c.blob", "C", 1,
      {{"c.dll", "not a library at all"}, {"component/initialize", "c.dll"}});
  ASSERT_TRUE(Install({a, b, c}));
  EXPECT_EQ(ListDirectory(components_),
            (std::vector<std::string>{"a3C000000.dll", "b3C000000.dll",
                                      "c3C000000.dll", "compindx.dat"}));
}

TEST_F(InstallTest, PayloadInASubdirectoryNeedsTheSubdirectory) {
  std::string blob = SimpleBlob(
      "a.blob", "A", 1,
      {{"bin/x.dll", recorder_}, {"component/initialize", "bin/x.dll"}});
  ASSERT_FALSE(Install({blob}));
  EXPECT_FALSE(PathExists(Stored(kIndexFileName)));

  ASSERT_TRUE(FilePath(Stored("bin")).MakeDirectory());
  ASSERT_TRUE(Install({blob}));
  // The stored name is relative to the store, as other programs look it up.
  EXPECT_EQ(
      Index(),
      IndexText({IndexEntry{"A", 1, {{"bin/x.dll", "bin/x3C000000.dll"}}}}));
  EXPECT_EQ(FileBytes(Stored("bin/x3C000000.dll")), recorder_);
  EXPECT_EQ(Calls("bin/x3C000000.dll"),
            "library=" + Stored("bin/x3C000000.dll") +
                "\ncount=1\nbin/x.dll;bin/x3C000000.dll\nend\n");
}

TEST_F(InstallTest, FailureInTheThirdBlobLeavesTheIndexAsItWas) {
  const std::string before =
      IndexText({IndexEntry{"OLD", 1, {{"old.dll", "old3C000000.dll"}}}});
  ASSERT_TRUE(FilePath(components_).MakeDirectory());
  ASSERT_TRUE(WriteFileBytes(Stored(kIndexFileName), before));
  std::string a =
      SimpleBlob("a.blob", "A", 1,
                 {{"a.dll", recorder_}, {"component/initialize", "a.dll"}});
  std::string b = SimpleBlob("b.blob", "B", 1, {{"b.txt", "b"}});
  std::string c = SimpleBlob("c.blob", "C", 1, {{"sub/c.txt", "c"}});
  ASSERT_FALSE(Install({a, b, c}));
  EXPECT_EQ(Index(), before);
  EXPECT_EQ(FileBytes(Stored("a3C000000.dll")), recorder_);
  EXPECT_EQ(FileBytes(Stored("b3C000000.txt")), "b");
  EXPECT_EQ(Calls("a3C000000.dll"), "");  // no initialisation after failure
  EXPECT_FALSE(PathExists(Stored("compindx.dat.lock")));
  EXPECT_FALSE(PathExists(Stored("compindx.dat.tmp")));
}

TEST_F(InstallTest, UnmetPrerequisiteWritesNothing) {
  std::string a = SimpleBlob("a.blob", "A", 1, {{"a.txt", "a"}}, "1,B,2\n");
  std::string old_b = SimpleBlob("b.blob", "B", 1, {{"b.txt", "b"}});
  ASSERT_FALSE(Install({a, old_b}));
  EXPECT_FALSE(PathExists(components_));

  SetInstalled({IndexEntry{"B", 2, {}}});
  ASSERT_TRUE(Install({a, old_b}));
}

TEST_F(InstallTest, PrerequisiteMetByALaterBlob) {
  std::string a = SimpleBlob("a.blob", "A", 1, {{"a.txt", "a"}}, "1,B,2\n");
  std::string b = SimpleBlob("b.blob", "B", 2, {{"b.txt", "b"}});
  ASSERT_TRUE(Install({a, b}));
  EXPECT_EQ(Index(),
            IndexText({IndexEntry{"A", 1, {{"a.txt", "a3C000000.txt"}}},
                       IndexEntry{"B", 2, {{"b.txt", "b3C000000.txt"}}}}));
}

TEST_F(InstallTest, FailsWhenTheIndexPathIsADirectory) {
  ASSERT_TRUE(FilePath(components_).MakeDirectory());
  ASSERT_TRUE(FilePath(Stored(kIndexFileName)).MakeDirectory());
  std::string a = SimpleBlob("a.blob", "A", 1, {{"a.txt", "a"}});
  ASSERT_FALSE(Install({a}));
  EXPECT_FALSE(PathExists(Stored("a3C000000.txt")));
  EXPECT_FALSE(PathExists(Stored("compindx.dat.lock")));
}

TEST_F(InstallTest, FailsWhileAnotherHoldsTheStoreLock) {
  ASSERT_TRUE(FilePath(components_).MakeDirectory());
  FilePath index_path(Stored(kIndexFileName));
  StoreLock other = AcquireStoreLock(index_path, 0);
  ASSERT_TRUE(other.held());
  std::string a = SimpleBlob("a.blob", "A", 1, {{"a.txt", "a"}});
  ASSERT_FALSE(Install({a}));
  EXPECT_FALSE(PathExists(Stored("a3C000000.txt")));
  other.Release();
  ASSERT_TRUE(Install({a}));
}

// --- Mends: a broken payload, unsafe names, the index replacement, and blob
// files held against writers.

TEST_F(InstallTest, BrokenPayloadFailsAndLeavesNoPartialFile) {
  std::vector<RawFork> forks = {
      GoodFork("a.txt", "fine"),        GoodFork("component/description", "d"),
      GoodFork("component/id", "A"),    GoodFork("component/prereq", ""),
      GoodFork("component/title", "t"), GoodFork("component/version", "1"),
  };
  std::string big(100000, 'x');
  RawFork truncated = GoodFork("big.bin", big);
  truncated.data.resize(truncated.data.size() / 2);
  RawFork wrong_size = GoodFork("big.bin", big);
  wrong_size.uncompressed_size = 99999;
  RawFork garbage{"big.bin", std::string(5000, 'g'), 5000};

  for (const RawFork& broken : {truncated, wrong_size, garbage}) {
    std::vector<RawFork> all = forks;
    all.insert(all.begin() + 1, broken);
    std::string blob = scratch_.Join("broken.blob");
    ASSERT_TRUE(WriteFileBytes(blob, BuildSignedRawBlob(all)));
    ASSERT_FALSE(Install({blob}));
    EXPECT_FALSE(PathExists(Stored("big3C000000.bin")));
    EXPECT_FALSE(PathExists(Stored(kIndexFileName)));
  }
}

TEST_F(InstallTest, UnsafePayloadNameFailsBeforeWritingTheBlob) {
  for (const char* name : {"../escape.txt", "/tmp/abs.txt", "\\abs.txt",
                           "C:abs.txt", "sub/../../up.txt"}) {
    std::string blob =
        SimpleBlob("bad.blob", "BAD", 1, {{"a.txt", "a"}, {name, "evil"}});
    ASSERT_FALSE(Install({blob})) << name;
    EXPECT_FALSE(PathExists(Stored("a3C000000.txt"))) << name;
    EXPECT_FALSE(PathExists(scratch_.Join("escape3C000000.txt"))) << name;
    EXPECT_FALSE(PathExists(Stored(kIndexFileName))) << name;
  }
}

TEST_F(InstallTest, PayloadTheIndexCannotRecordFailsBeforeWritingTheBlob) {
  // A CR would end the index line early, a ";" would split the pair, and
  // outer blanks would be trimmed away when it is read back.
  for (const char* name : {"line\rend.txt", "semi;colon.txt", " blank.txt"}) {
    std::string blob =
        SimpleBlob("odd.blob", "ODD", 1, {{"a.txt", "a"}, {name, "odd"}});
    ASSERT_FALSE(Install({blob})) << name;
    EXPECT_FALSE(PathExists(Stored("a3C000000.txt"))) << name;
    EXPECT_FALSE(PathExists(Stored(kIndexFileName))) << name;
  }
}

// Fails the chosen step of the index replacement.
class IndexFailureEnv : public FakeEnv {
 public:
  bool fail_flush = false;
  bool fail_move = false;
  bool FlushStreamToDisk(std::FILE* stream) override {
    return !fail_flush && FakeEnv::FlushStreamToDisk(stream);
  }
  bool MoveFileIn(const std::string& directory, const std::string& from,
                  const std::string& to) override {
    return !fail_move && FakeEnv::MoveFileIn(directory, from, to);
  }
};

TEST_F(InstallTest, IndexReplacementThatFailsKeepsTheOldIndexWhole) {
  const std::string before =
      IndexText({IndexEntry{"OLD", 1, {{"old.dll", "old3C000000.dll"}}}});
  std::string a =
      SimpleBlob("a.blob", "A", 1,
                 {{"a.dll", recorder_}, {"component/initialize", "a.dll"}});
  for (int step = 0; step < 2; ++step) {
    IndexFailureEnv env;
    env.fail_flush = step == 0;
    env.fail_move = step == 1;
    Env* previous = SetCurrentEnv(&env);
    ASSERT_TRUE(FilePath(components_).MakeDirectory());
    ASSERT_TRUE(WriteFileBytes(Stored(kIndexFileName), before));
    bool result = Install({a});
    SetCurrentEnv(previous);
    EXPECT_FALSE(result) << step;
    EXPECT_EQ(Index(), before) << step;
    EXPECT_FALSE(PathExists(Stored("compindx.dat.tmp"))) << step;
    EXPECT_EQ(Calls("a3C000000.dll"), "") << step;
  }
}

TEST_F(InstallTest, IndexReplacementWritesTheWholeNewIndex) {
  const std::vector<IndexEntry> entries = {
      IndexEntry{"A", -2, {}}, IndexEntry{"B", 7, {{"r", "s"}, {"R", "S"}}}};
  FilePath index_path(scratch_.Join(kIndexFileName));
  ASSERT_TRUE(WriteFileBytes(index_path.text(), "old contents"));
  ASSERT_TRUE(ReplaceIndexFile(index_path, entries));
  EXPECT_EQ(FileBytes(index_path.text()), IndexText(entries));
  EXPECT_FALSE(PathExists(index_path.text() + ".tmp"));
}

// The rewrite as it was before it streamed: the whole old index read into a
// list, the added entries appended, the list written.
bool RewriteWholeList(const std::string& index_path,
                      const std::vector<IndexEntry>& added, std::string* text) {
  std::vector<IndexEntry> entries;
  IndexReader reader;
  IndexEntry entry;
  if (reader.Open(index_path)) {
    while (reader.ReadEntry(&entry.id, &entry.version, &entry.files)) {
      entries.push_back(entry);
    }
  }
  entries.insert(entries.end(), added.begin(), added.end());
  auto sink = [](void* context, const char* bytes, std::size_t count) {
    static_cast<std::string*>(context)->append(bytes, count);
    return true;
  };
  for (const IndexEntry& e : entries) {
    if (!WriteIndexEntry(e, sink, text)) return false;
  }
  return true;
}

TEST_F(InstallTest, StreamedIndexRewriteIsByteIdenticalToTheWholeList) {
  const std::vector<IndexEntry> added = {
      IndexEntry{"A", 9, {{"a.dll", "a3C000009.dll"}}},  // an old id again
      IndexEntry{"NEW", -1, {}}};
  const struct {
    const char* name;
    std::string old_text;
    bool ok;
  } cases[] = {
      {"no index", "", true},
      {"CR LF, lone CR, case and blanks",
       "junk before\r\n\r\n  COMPONENT =  a \r\n\tVersion=12abc\r\n"
       "\tinstalled_local= z.dll ; z2.dll \r\n\tinstalled_local= b.dll\r\n"
       "componentend\r\ncomponent= cr\r\tversion= 3\rcomponentend\r",
       true},
      {"skipped lines and files",
       "component=\n\tversion= 5\ncomponentend\n"  // blank id: passed over
       "component= B\n\tversion= 99999999999\n\tinstalled_local= ;x\n"
       "\tinstalled_local= y;\n\tinstalled_local=\n\tinstalled_local= k;1\n"
       "\tinstalled_local= k;2\n\tother= 1\ncomponentend\n"
       "component= C\n\tversion= -5\ncomponent= D\n\tinstalled_local= d;e\n"
       "componentend\n",
       true},
      {"duplicates and a cut-off last entry",
       "component= A\n\tversion= 1\ncomponentend\n"
       "component= a\n\tversion= 2\ncomponentend\n"
       "component= A\n\tversion= 1\ncomponentend\ncomponent= CUT\n\tversion",
       true},
      {"an entry the index cannot hold",
       std::string("component= N\n\tinstalled_local= x") + '\0' +
           "y;z\ncomponentend\n",
       false},
  };
  FilePath index_path(scratch_.Join(kIndexFileName));
  for (const auto& c : cases) {
    FilePath(index_path).RemoveFile();
    if (!c.old_text.empty()) {
      ASSERT_TRUE(WriteFileBytes(index_path.text(), c.old_text)) << c.name;
    }
    std::string whole;
    EXPECT_EQ(RewriteWholeList(index_path.text(), added, &whole), c.ok)
        << c.name;
    IndexReader kept;
    if (!c.old_text.empty()) {
      ASSERT_TRUE(kept.Open(index_path)) << c.name;
    }
    std::string why;
    EXPECT_EQ(ReplaceIndexFile(index_path, &kept, added, &why), c.ok)
        << c.name << ": " << why;
    EXPECT_EQ(FileBytes(index_path.text()), c.ok ? whole : c.old_text)
        << c.name;
    EXPECT_FALSE(PathExists(index_path.text() + ".tmp")) << c.name;
  }
}

// Records which paths were opened with writers shut out.
class DenyWriteSpyEnv : public FakeEnv {
 public:
  std::vector<std::string> opened;
  std::FILE* OpenStreamDenyWrite(const std::string& path,
                                 const char* mode) override {
    opened.push_back(path + "|" + mode);
    return FakeEnv::OpenStreamDenyWrite(path, mode);
  }
};

TEST_F(InstallTest, BlobFilesAreReadWithWritersShutOut) {
  std::string a = SimpleBlob("a.blob", "A", 1, {{"a.txt", "a"}});
  DenyWriteSpyEnv env;
  Env* previous = SetCurrentEnv(&env);
  bool result = Install({a});
  SetCurrentEnv(previous);
  ASSERT_TRUE(result);
  // Once: the open file serves the prerequisite check and the installation.
  EXPECT_EQ(env.opened, (std::vector<std::string>{a + "|rb"}));
}

}  // namespace
}  // namespace brackenfold
