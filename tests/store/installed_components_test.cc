#include "store/installed_components.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store/index_file.h"
#include "store/store_locations.h"
#include "store/store_lock.h"
#include "tests/store/store_test_support.h"
#include "tests/support/fake_env.h"

namespace brackenfold {
namespace {

std::string Entry(const std::string& id, std::int32_t version) {
  std::string bytes;
  IndexEntry entry{id, version, {{"f.dll", "f0.dll"}}};
  WriteIndexEntry(
      entry,
      [](void* context, const char* data, std::size_t count) {
        static_cast<std::string*>(context)->append(data, count);
        return true;
      },
      &bytes);
  return bytes;
}

TEST(SearchListFileTest, NoListFileWherePathsAreNotWindowsPaths) {
  EXPECT_EQ(SearchListFile(), "");
}

class InstalledComponentsTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetStoreLocations(); }
  void TearDown() override { ResetStoreLocations(); }
  // A directory below the scratch directory holding an index of bytes.
  std::string Store(const std::string& name, const std::string& index) {
    std::filesystem::create_directories(dir_ / name);
    WriteWholeFile(dir_ / name + "/compindx.dat", index);
    return dir_ / name + "/";
  }
  std::vector<std::string> Texts(const std::vector<FilePath>& paths) {
    std::vector<std::string> texts;
    for (const FilePath& p : paths) texts.push_back(p.text());
    return texts;
  }

  ScopedFakeEnv env_;
  ScratchDirectory dir_;
};

TEST_F(InstalledComponentsTest, HighestVersionWinsWhicheverStoreComesFirst) {
  const std::string low = Store("low", Entry("viewer", 2));
  const std::string high = Store("high", Entry("VIEWER", 5));
  for (const auto& order :
       {std::vector<FilePath>{low, high}, std::vector<FilePath>{high, low}}) {
    EXPECT_EQ(SearchInstalledComponents(order),
              (InstalledComponents{{"VIEWER", 5}}));
  }
}

TEST_F(InstalledComponentsTest, MergesEntriesOfOneIndex) {
  const std::string store =
      Store("s", Entry("A", 4) + Entry("A", 3) + Entry("NEG", -7) +
                     Entry("ZERO", 0) + "component= NOVERSION\ncomponentend\n");
  InstalledComponents table;
  ReadStoreIndex(table, store);
  EXPECT_EQ(table, (InstalledComponents{
                       {"A", 4}, {"NEG", -7}, {"NOVERSION", 0}, {"ZERO", 0}}));
  EXPECT_EQ(InstalledVersion(table, "ZERO"), 0);  // looks not installed
  EXPECT_EQ(InstalledVersion(table, "NOVERSION"), 0);
  EXPECT_EQ(InstalledVersion(table, "never"), 0);
  EXPECT_EQ(InstalledVersion(table, "a"), 4);  // looked up upper-cased
  EXPECT_EQ(InstalledVersion(table, "NEG"), -7);

  ReadStoreIndex(table, Store("t", Entry("NEG", -2)));
  EXPECT_EQ(InstalledVersion(table, "neg"), -2);
}

TEST_F(InstalledComponentsTest, DirectoriesWithoutAnIndexAddNothing) {
  InstalledComponents table{{"KEEP", 1}};
  ReadStoreIndex(table, dir_ / "missing/");
  std::filesystem::create_directory(dir_ / "empty");
  ReadStoreIndex(table, dir_ / "empty/");
  std::filesystem::create_directories(dir_ / "dirindex/compindx.dat");
  ReadStoreIndex(table, dir_ / "dirindex/");
  EXPECT_EQ(table, (InstalledComponents{{"KEEP", 1}}));
  EXPECT_FALSE(PathExists(dir_ / "missing"));
}

TEST_F(InstalledComponentsTest, ReadsTheIndexEvenWhileAnotherHoldsTheLock) {
  const std::string store = Store("s", Entry("A", 2));
  StoreLock held = AcquireStoreLock(store + "compindx.dat", 250);
  ASSERT_TRUE(held.held());
  InstalledComponents table;
  ReadStoreIndex(table, store);
  EXPECT_EQ(InstalledVersion(table, "A"), 2);
  EXPECT_EQ(env_->sleeps.size(), 3u);  // tried for 250 ms first
}

TEST_F(InstalledComponentsTest, ReleasesTheLockItTook) {
  const std::string store = Store("s", Entry("A", 2));
  InstalledComponents table;
  ReadStoreIndex(table, store);
  EXPECT_EQ(InstalledVersion(table, "A"), 2);
  EXPECT_TRUE(env_->sleeps.empty());
  EXPECT_FALSE(PathExists(store + "compindx.dat.lock"));
}

TEST_F(InstalledComponentsTest, SearchesStoresThenTheListedDirectories) {
  RegisterStore(FilePath(Store("system", Entry("SYS", 1))), kSystemStoreName);
  RegisterStore(FilePath(Store("user", Entry("USR", 1))), kUserStoreName);
  EXPECT_EQ(Texts(SearchDirectories(true, "")),
            (std::vector<std::string>{dir_ / "system/"}));
  EXPECT_EQ(Texts(SearchDirectories(false, "")),
            (std::vector<std::string>{dir_ / "system/", dir_ / "user/"}));
  EXPECT_EQ(SearchInstalledComponents(SearchDirectories(false, "")),
            (InstalledComponents{{"SYS", 1}, {"USR", 1}}));
}

TEST_F(InstalledComponentsTest, AbsentStoresAreSkipped) {
  RegisterMissingStore(kSystemStoreName);
  RegisterMissingStore(kUserStoreName);
  EXPECT_TRUE(SearchDirectories(false, "").empty());
}

TEST_F(InstalledComponentsTest, SearchListNamesDirectoriesOneALine) {
  Store("listed", Entry("LISTED", 3));
  Store("parent", Entry("PARENT", 4));
  const std::string list = dir_ / "ComponentSearch.txt";
  // An existing directory without its trailing separator; a name that does
  // not exist (taken as a file in its parent); blank lines (each an empty
  // path); CR LF line ends; a last line without its line end (not used).
  WriteWholeFile(list, "  " + dir_ / "listed" + "\t\r\n\r\n   \n" +
                           dir_ / "parent/nothing-here" + "\n" + dir_ / "last");
  RegisterMissingStore(kSystemStoreName);
  const std::vector<FilePath> directories = SearchDirectories(true, list);
  EXPECT_EQ(Texts(directories),
            (std::vector<std::string>{dir_ / "listed", "", "",
                                      dir_ / "parent/nothing-here"}));
  EXPECT_EQ(SearchInstalledComponents(directories),
            (InstalledComponents{{"LISTED", 3}, {"PARENT", 4}}));
}

TEST_F(InstalledComponentsTest, MissingOrUnnamedSearchListAddsNothing) {
  EXPECT_TRUE(SearchDirectories(false, dir_ / "no-such-list.txt").empty());
  EXPECT_TRUE(SearchDirectories(false, "").empty());
  WriteWholeFile(dir_ / "unended.txt", "no line end");
  EXPECT_TRUE(SearchDirectories(false, dir_ / "unended.txt").empty());
}

}  // namespace
}  // namespace brackenfold
