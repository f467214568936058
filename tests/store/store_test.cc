// The component store on the native build, where "/" is the separator:
// paths and unique files, the index file, the store lock, where the stores
// are, and the installed-component search.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "store/file_path.h"
#include "store/index_file.h"
#include "store/installed_components.h"
#include "store/store_locations.h"
#include "store/store_lock.h"
#include "tests/component/component_test_support.h"

namespace brackenfold {
namespace {

using std::string_literals::operator""s;

class StoreTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ResetStoreLocations();
    EXPECT_EQ(env_->OpenRegKeyCount(), 0u);  // every key was closed
  }
  // "@" stands for the scratch directory, "+" for the product's directories.
  std::string At(std::string text) const {
    for (std::size_t at; (at = text.find_first_of("@+")) != std::string::npos;)
      text.replace(
          at, 1, text[at] == '@' ? dir_.path() : "Vantorium/Vantorium Player/");
    return text;
  }
  // A directory holding an index of entries.
  std::string Store(const std::string& name,
                    const std::vector<IndexEntry>& entries) {
    EXPECT_TRUE(FilePath(At(name)).EnsureDirectory());
    EXPECT_TRUE(WriteFileBytes(At(name) + kIndexFileName, IndexText(entries)));
    return At(name);
  }
  std::string Found(const char* store) {
    FilePath p("untouched");
    return LookupStore(store, &p) ? p.text() : "(absent)";
  }

  ScopedFakeEnv env_;
  ScratchDirectory dir_;
};

TEST_F(StoreTest, ParentFileNameAndAppendFollowTheSeparatorRule) {
  const char* cases[][3] = {{"/a/b/", "/a", "b"},
                            {"/a/b.txt", "/a", "b.txt"},
                            {"/", "", ""},
                            {"name", "name", "name"}};
  for (const auto& c : cases) {
    FilePath p(c[0]);
    p.ToParent();
    EXPECT_EQ(p.text(), c[1]);
    EXPECT_EQ(FilePath(c[0]).FileName(), c[2]);
  }
  // An existing directory without its separator is a directory; any other
  // last part is a file name, replaced by what is appended.
  FilePath existing(At("@").substr(0, At("@").size() - 1));
  existing.AppendFile("a.txt");
  EXPECT_EQ(existing.text(), At("@a.txt"));
  FilePath file(At("@old.txt"));
  file.AppendDirectory("x/");
  EXPECT_EQ(file.text(), At("@x/"));
  FilePath empty;
  empty.AppendDirectory("x");
  EXPECT_EQ(empty.text(), "x/");
}

TEST_F(StoreTest, DirectoriesAreMadeButFilesAreNotReplacedOrRemoved) {
  EXPECT_FALSE(FilePath(At("@a/b/")).MakeDirectory());
  EXPECT_TRUE(FilePath(At("@a/b/")).EnsureDirectory());
  bool is_directory = false;
  EXPECT_TRUE(FilePath(At("@a/b")).Exists(&is_directory) && is_directory);
  ASSERT_TRUE(WriteFileBytes(At("@plain"), "data"));
  EXPECT_FALSE(FilePath(At("@plain")).MakeDirectory());
  EXPECT_FALSE(FilePath(At("@plain/below/")).EnsureDirectory());
  EXPECT_FALSE(FilePath("relative-name-without-separator").EnsureDirectory());
  EXPECT_TRUE(FilePath(At("@missing")).RemoveFile());
  EXPECT_FALSE(FilePath(At("@a/")).RemoveFile());
  EXPECT_TRUE(FilePath(At("@plain")).RemoveFile());
  EXPECT_FALSE(PathExists(At("@plain")));
}

TEST_F(StoreTest, CopyFileToHonoursOverwriteAndNeverEmptiesItsSource) {
  const std::string big = std::string(70000, 'x') + "end";
  ASSERT_TRUE(WriteFileBytes(At("@src"), big));
  ASSERT_TRUE(WriteFileBytes(At("@dst"), "old"));
  const FilePath src(At("@src"));
  EXPECT_FALSE(src.CopyFileTo(FilePath(At("@dst")), false));
  EXPECT_TRUE(src.CopyFileTo(FilePath(At("@dst")), true));
  EXPECT_EQ(FileBytes(At("@dst")), big);
  // The same file under another name counts as copied.
  ASSERT_EQ(::link(At("@src").c_str(), At("@link").c_str()), 0);
  EXPECT_TRUE(src.CopyFileTo(FilePath(At("@link")), true));
  EXPECT_EQ(FileBytes(At("@src")), big);
  int error = 0;
  EXPECT_FALSE(FilePath(At("@no")).CopyFileTo(At("@d2"), true, &error));
  EXPECT_EQ(error, ENOENT);
}

TEST_F(StoreTest, MakeUniqueFileCountsFromTheClockAndSkipsTakenNames) {
  const std::pair<std::optional<std::string>, const char*> cases[] = {
      {" txt ", "@x3C000000.txt"},
      {".txt", "@x3C000001.txt"},
      {std::nullopt, "@x3C000000"},
      {"", "@x3C000001"}};
  for (const auto& [extension, made] : cases) {
    FilePath p(dir_.path());
    ASSERT_TRUE(p.MakeUniqueFile("x", extension, false));
    EXPECT_EQ(p.text(), At(made));
  }
  FilePath temp(dir_.path());
  ASSERT_TRUE(temp.MakeUniqueFile("bftmp", std::nullopt, true));
  EXPECT_NE(temp.text().find("/bftmp"), std::string::npos);
  EXPECT_TRUE(temp.RemoveFile());
}

TEST_F(StoreTest, UniqueFileMakerGoesOnFromItsLastNameInAnyLetterCase) {
  env_->now = 0xFFFFFFFFu;
  UniqueFileMaker maker(dir_.path());
  std::string first, second;
  std::FILE* stream = nullptr;
  ASSERT_EQ(maker.Create("x", ".txt", &first, &stream), 0);
  std::fclose(stream);
  ASSERT_TRUE(FilePath(At("@" + first)).RemoveFile());
  // The freed name is not tried again (the count wraps at 2^32); another
  // letter case is the same pattern on a case-blind file system.
  ASSERT_EQ(maker.Create("X", ".TXT", &second, &stream), 0);
  std::fclose(stream);
  EXPECT_EQ(first + " " + second, "xFFFFFFFF.txt X00000000.TXT");
}

struct StringSink {
  std::string bytes;
  int calls = 0;
  int fail_on_call = -1;  // 0-based call that answers false

  static bool Write(void* context, const char* data, std::size_t count) {
    auto* self = static_cast<StringSink*>(context);
    if (self->calls++ == self->fail_on_call) return false;
    self->bytes.append(data, count);
    return true;
  }
};

const IndexEntry kViewer{
    "VIEWER", 3, {{"bin.dat", "bin3C.dat"}, {"Viewer.dll", "viewer3C.dll"}}};

TEST_F(StoreTest, IndexWriterWritesOneLinePerSinkCallAndStopsAtAFailure) {
  StringSink sink;
  ASSERT_TRUE(WriteIndexEntry(kViewer, &StringSink::Write, &sink));
  EXPECT_EQ(sink.bytes,
            "component= VIEWER\n\tversion= 3\n"
            "\tinstalled_local= Viewer.dll;viewer3C.dll\n"
            "\tinstalled_local= bin.dat;bin3C.dat\ncomponentend\n");
  EXPECT_EQ(sink.calls, 5);
  for (int fail = 0; fail < 5; ++fail) {
    StringSink failing;
    failing.fail_on_call = fail;
    EXPECT_FALSE(WriteIndexEntry(kViewer, &StringSink::Write, &failing));
    EXPECT_EQ(failing.calls, fail + 1);
  }
}

TEST_F(StoreTest, IndexWriterRefusesEntriesThatWouldNotReadBackAsWritten) {
  std::vector<IndexEntry> cases;
  for (const std::string& id :
       {"A\ncomponentend"s, "A\r"s, ""s, " A"s, "A\0B"s})
    cases.push_back({id, 1, {}});
  const std::pair<std::string, std::string> files[] = {
      {"x\0y"s, "s"}, {"x", "s\0"s}, {"x\ncomponent= EVIL", "s"},
      {"x", "s\r"},   {"a;b", "s"},  {"", "s"},
      {"x", ""},      {" x", "s"},   {"x", "s\t"}};
  for (const auto& file : files) cases.push_back({"A", 1, {file}});
  for (const IndexEntry& entry : cases) {
    StringSink sink;
    EXPECT_FALSE(IndexEntryRoundTrips(entry)) << entry.id;
    EXPECT_FALSE(WriteIndexEntry(entry, &StringSink::Write, &sink));
    EXPECT_EQ(sink.calls, 0);
  }
  EXPECT_TRUE(IndexEntryRoundTrips({"A", 1, {{"a b", "s;t"}}}));
}

TEST_F(StoreTest, IndexReaderReadsWhatTheWriterWritesAndOtherLinesLeniently) {
  const std::pair<std::string, std::string> cases[] = {
      {IndexText({kViewer, {"CORE", -4, {}}}),
       "VIEWER 3 Viewer.dll>viewer3C.dll bin.dat>bin3C.dat|CORE -4|"},
      {"  COMPONENT = viewer \n  Version =  7 \nComponentEnd\n", "VIEWER 7|"},
      {"COMPONENT= a\nINSTALLED_LOCAL= x;y\nCOMPONENTEND\n", "A 0 x>y|"},
      {"component= a\nversion= 12abc\ncomponentend\ncomponent= b\n"
       "version= abc\ncomponentend\ncomponent= c\nversion= +8\ncomponentend\n",
       "A 12|B 0|C 8|"},
      {"component= d\nversion= 99999999999\ncomponentend\n"
       "component= e\nversion= -99999999999\ncomponentend\ncomponent= f\n"
       "componentend\n",
       "D 2147483647|E -2147483648|F 0|"},
      {"component= a\ninstalled_local= a.dll;b.dll\ninstalled_local= c.dll\n"
       "installed_local= ;d.dll\ninstalled_local= e.dll;\n"
       "installed_local= f.dll ;  g.dll\ninstalled_local= h;i;j\n"
       "installed_local=\ninstalled_local= a.dll;second\ncomponentend\n",
       "A 0 a.dll>b.dll c.dll>c.dll f.dll>g.dll h>i;j|"},
      {"component=\nversion= 3\ncomponentend\ncomponent= b\ncomponentend\n",
       "B 0|"},
      {"garbage\n= value\n\n\nversion= 4\ncomponent= a\ncomponentend\n",
       "A 0|"},
      {"component= a\nfoo= bar\ncomponent= b\nversion= 1\ncomponentend\n",
       "A 1|"},
      // A last line without its end is lost; so is an entry cut off.
      {"component= a\ncomponentend\ncomponent= b\ncomponentend", "A 0|"},
      {"component= a\ncomponentend\ncomponent= b\nversion= 3\n", "A 0|"},
      {"component= a\rversion= 2\rcomponentend\r", "A 2|"}};
  for (const auto& [bytes, want] : cases) {
    ASSERT_TRUE(WriteFileBytes(At("@index"), bytes));
    IndexReader reader;
    ASSERT_TRUE(reader.Open(At("@index")));
    std::string got;
    IndexEntry e{"OLD", 7, {{"old", "old"}}};  // the reader resets these
    while (reader.ReadEntry(&e.id, &e.version, &e.files)) {
      // Whatever is read can be written back: a rewrite never fails on it.
      EXPECT_TRUE(IndexEntryRoundTrips(e)) << e.id;
      got += e.id + " " + std::to_string(e.version);
      for (const auto& [registered, stored] : e.files)
        got += " " + registered + ">" + stored;
      got += "|";
    }
    EXPECT_EQ(got, want) << bytes;
  }
}

TEST_F(StoreTest, IndexReaderOpensAndClosesAndFollowsNoLinkInAStore) {
  IndexReader reader;
  IndexEntry e;
  EXPECT_FALSE(reader.ReadEntry(&e.id, &e.version, &e.files));  // not opened
  EXPECT_FALSE(reader.Open(At("@missing")));
  EXPECT_EQ(reader.OpenInStore(At("@missing")), kErrnoNoEntry);
  ASSERT_TRUE(WriteFileBytes(At("@one"), "component= one\ncomponentend\n"));
  std::FILE* out = std::fopen(At("@two").c_str(), "wb");
  ASSERT_TRUE(WriteIndexEntry(kViewer, &StdioIndexSink, out));
  ASSERT_EQ(std::fclose(out), 0);
  ASSERT_TRUE(reader.Open(At("@one")));
  ASSERT_EQ(reader.OpenInStore(At("@two")), 0);  // "one" is closed
  ASSERT_TRUE(reader.ReadEntry(&e.id, &e.version, &e.files));
  EXPECT_EQ(e.files, kViewer.files);
  ASSERT_EQ(::symlink(At("@two").c_str(), At("@link").c_str()), 0);
  EXPECT_EQ(reader.OpenInStore(At("@link")), kErrnoLink);
  EXPECT_FALSE(reader.ReadEntry(&e.id, &e.version, &e.files));
}

TEST_F(StoreTest, StoreLockNeedsTheDirectoryTimesOutAndOutlivesNoHolder) {
  ASSERT_TRUE(WriteFileBytes(At("@file"), ""));
  for (const char* index : {"@nowhere/compindx.dat", "@file/compindx.dat"}) {
    std::string why;
    EXPECT_FALSE(AcquireStoreLock(At(index), 1000, &why).held());
    EXPECT_EQ(why, "the store directory does not exist") << index;
  }
  ASSERT_TRUE(WriteFileBytes(At("@compindx.dat.lock"), ""));  // stale
  {
    StoreLock moved;
    {
      StoreLock lock = AcquireStoreLock(At("@compindx.dat"), 250);
      ASSERT_TRUE(lock.held());
      moved = std::move(lock);
    }  // the lock went with the move, not with the moved-from value
    EXPECT_EQ(FileBytes(At("@compindx.dat.lock")), "");
  }
  EXPECT_FALSE(PathExists(At("@compindx.dat.lock")));
  EXPECT_TRUE(env_->sleeps.empty());
  StoreLock held = AcquireStoreLock(At("@compindx.dat"), 0);
  ASSERT_TRUE(held.held());
  const std::uint32_t cases[][3] = {
      // time-out, start ticks, sleeps
      {kInstallLockTimeoutMs, 1000, 10},
      {kSearchLockTimeoutMs, 0xFFFFFF80u, 3},  // the tick count wraps
  };
  for (const auto& c : cases) {
    ScopedFakeEnv env;
    env->ticks = c[1];
    std::string why;
    EXPECT_FALSE(AcquireStoreLock(At("@compindx.dat"), c[0], &why).held());
    EXPECT_EQ(why, "the store is locked by another process");
    EXPECT_EQ(env->sleeps, std::vector<std::uint32_t>(c[2], 100)) << c[0];
  }
  EXPECT_TRUE(PathExists(At("@compindx.dat.lock")));  // the holder's file
  held.Release();
  EXPECT_FALSE(held.held());
  EXPECT_FALSE(PathExists(At("@compindx.dat.lock")));
}

TEST_F(StoreTest, StoresComeFromTheFirstUsableRegistryValue) {
  // Values of SystemDataPath, ProgramFilesDir, the user's AppData in User
  // Shell Folders and in Shell Folders; the stores found; what is made and
  // what is not.
  const char* cases[][8] = {
      {"@Data", "@pf/", "", "", "@Data/components/", "", "",
       "@Data/components,@pf"},
      {"@new/deep/", "", "", "@app/", "@new/deep/components/",
       "@app/+components/", "@new/deep,@app/+", "@app/+components"},
      {"@file/sub", "@pf/", "", "", "@pf/+components/", "", "@pf/+", ""},
      {"", "@missing", "", "", "@+components/", "", "", "@missing"},
      {"", "@file/", "%USERPROFILE%/AppData/", "@other/", "",
       "@profile/AppData/+components/", "", "@other"},
      {"", "", "@file/x/", "@shell/", "", "@shell/+components/", "", ""},
      {"", "", "%EMPTY%", "", "", "", "", ""}};  // empty: no directory
  ASSERT_TRUE(WriteFileBytes(At("@file"), ""));
  env_->environment = {{"USERPROFILE", At("@profile")}, {"EMPTY", ""}};
  const std::string windows = "Software\\Microsoft\\Windows\\CurrentVersion";
  for (const auto& c : cases) {
    SCOPED_TRACE(At(c[4]) + At(c[5]));
    ResetStoreLocations();
    env_->SetRegString(kHkeyLocalMachine, kProductKey, kSystemDataPathValue,
                       At(c[0]));
    env_->SetRegString(kHkeyLocalMachine, windows, "ProgramFilesDir", At(c[1]));
    env_->SetRegString(kHkeyCurrentUser,
                       windows + "\\Explorer\\User Shell Folders", "AppData",
                       At(c[2]), reg::kExpandSz);
    env_->SetRegString(kHkeyCurrentUser, windows + "\\Explorer\\Shell Folders",
                       "AppData", At(c[3]));
    DetermineStoreLocations();
    EXPECT_EQ(Found(kSystemStoreName), *c[4] ? At(c[4]) : "(absent)");
    EXPECT_EQ(Found(kUserStoreName), *c[5] ? At(c[5]) : "(absent)");
    for (int made = 6; made < 8; ++made) {
      std::stringstream paths(c[made]);
      for (std::string p; std::getline(paths, p, ',');)
        EXPECT_EQ(PathExists(At(p)), made == 6) << p;
    }
    EXPECT_FALSE(PathExists("Vantorium"));
  }
}

TEST_F(StoreTest, TheFirstRegistrationOfAStoreStaysInForce) {
  RegisterMissingStore("S");
  RegisterStore(FilePath("/c/"), "S");
  RegisterStore(FilePath("/d/"), "T");
  RegisterStore(FilePath("/e/"), "T");
  EXPECT_EQ(Found("S") + " " + Found("T"), "(absent) /d/");
}

TEST_F(StoreTest, SearchFindsTheHighestVersionsAndFollowsNoLinkToAnIndex) {
  const std::string low = Store("@low/", {{"VIEWER", 2, {}}, {"A", 4, {}}});
  const std::string high =
      Store("@high/", {{"VIEWER", 5, {}}, {"A", 3, {}}, {"NEG", -7, {}}});
  // No directory, an index that is a directory, an index that is a link.
  ASSERT_TRUE(FilePath(At("@dir/compindx.dat/")).EnsureDirectory());
  ASSERT_TRUE(FilePath(At("@linked/")).MakeDirectory());
  Store("@outside/", {{"SECRET", 1, {}}});
  ASSERT_EQ(::symlink(At("@outside/compindx.dat").c_str(),
                      At("@linked/compindx.dat").c_str()),
            0);
  for (const auto& order :
       {std::vector<FilePath>{low, At("@missing/"), At("@dir/"), At("@linked/"),
                              high},
        std::vector<FilePath>{high, low}}) {
    EXPECT_EQ(SearchInstalledComponents(order),
              (InstalledComponents{{"A", 4}, {"NEG", -7}, {"VIEWER", 5}}));
  }
  InstalledComponents table{{"NEG", -9}};
  ReadStoreIndex(table, high);
  EXPECT_EQ(InstalledVersion(table, "neg"), -7);  // looked up upper-cased
  EXPECT_EQ(InstalledVersion(table, "never"), 0);
  EXPECT_TRUE(env_->sleeps.empty());
  EXPECT_FALSE(PathExists(high + "compindx.dat.lock"));  // released
  StoreLock held = AcquireStoreLock(high + kIndexFileName, 0);
  EXPECT_EQ(SearchInstalledComponents({high}).size(), 3u);  // read anyway
  EXPECT_EQ(env_->sleeps.size(), 3u);  // after trying for 250 ms
}

TEST_F(StoreTest, SearchesStoresThenTheListedDirectories) {
  RegisterStore(FilePath(Store("@system/", {{"SYS", 1, {}}})),
                kSystemStoreName);
  RegisterStore(FilePath(Store("@user/", {{"USR", 1, {}}})), kUserStoreName);
  Store("@listed/", {{"LISTED", 3, {}}});
  Store("@parent/", {{"PARENT", 4, {}}});
  // An existing directory without its separator; a name that does not exist
  // (a file in its parent); blank lines (each the empty path); CR LF line
  // ends; a last line without its end (not used).
  const std::string list = At("@ComponentSearch.txt");
  ASSERT_TRUE(WriteFileBytes(list, At("  @listed\t\r\n\r\n   \n") +
                                       At("@parent/nothing-here\n@last")));
  std::vector<std::string> texts;
  for (const FilePath& p : SearchDirectories(true, list))
    texts.push_back(p.text());
  EXPECT_EQ(texts, (std::vector<std::string>{At("@system/"), At("@listed"), "",
                                             "", At("@parent/nothing-here")}));
  EXPECT_EQ(SearchInstalledComponents(SearchDirectories(false, list)),
            (InstalledComponents{
                {"LISTED", 3}, {"PARENT", 4}, {"SYS", 1}, {"USR", 1}}));
  EXPECT_EQ(SearchDirectories(false, At("@no-list")).size(), 2u);
  ResetStoreLocations();
  RegisterMissingStore(kSystemStoreName);
  RegisterMissingStore(kUserStoreName);
  EXPECT_TRUE(SearchDirectories(false, "").empty());
}

}  // namespace
}  // namespace brackenfold
