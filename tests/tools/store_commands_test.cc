// bfold index and bfold installed, run as a user runs them.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "store/index_file.h"
#include "store/store_lock.h"
#include "tests/store/store_test_support.h"

namespace brackenfold {
namespace {

struct ToolRun {
  int status;
  std::string out;
  std::string err;
};

class StoreCommandsTest : public ::testing::Test {
 protected:
  ToolRun Bfold(const std::string& arguments) {
    const std::string out = dir_ / "stdout", err = dir_ / "stderr";
    const std::string command = std::string(BFOLD_PATH) + " " + arguments +
                                " >'" + out + "' 2>'" + err + "'";
    const int status = std::system(command.c_str());
    return ToolRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                   ReadWholeFile(out), ReadWholeFile(err)};
  }
  std::string Store(const std::string& name,
                    const std::vector<IndexEntry>& entries) {
    std::filesystem::create_directories(dir_ / name);
    std::string bytes;
    for (const IndexEntry& e : entries) {
      WriteIndexEntry(
          e,
          [](void* context, const char* data, std::size_t count) {
            static_cast<std::string*>(context)->append(data, count);
            return true;
          },
          &bytes);
    }
    WriteWholeFile(dir_ / name + "/compindx.dat", bytes);
    return dir_ / name;
  }
  ScratchDirectory dir_;
};

TEST_F(StoreCommandsTest, IndexPrintsEveryEntryWithItsFiles) {
  const std::string store = Store(
      "s",
      {{"VIEWER",
        3,
        {{"bin.dat", "bin3C000000.dat"}, {"Viewer.dll", "viewer3C000000.dll"}}},
       {"CORE", -1, {}}});
  const std::string want =
      "VIEWER 3\n"
      "  Viewer.dll -> viewer3C000000.dll\n"
      "  bin.dat -> bin3C000000.dat\n"
      "CORE -1\n";
  for (const std::string& target :
       {store, store + "/", store + "/compindx.dat"}) {
    ToolRun run = Bfold("index '" + target + "'");
    EXPECT_EQ(run.status, 0) << target << run.err;
    EXPECT_EQ(run.out, want) << target;
    EXPECT_EQ(run.err, "") << target;
  }
  EXPECT_FALSE(PathExists(store + "/compindx.dat.lock"));
}

TEST_F(StoreCommandsTest, IndexReadsALockedStoreWithAWarning) {
  const std::string store = Store("s", {{"A", 1, {}}});
  StoreLockGuard held(AcquireStoreLock(store + "/compindx.dat", 250));
  ASSERT_TRUE(held.held());
  ToolRun run = Bfold("index '" + store + "'");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "A 1\n");
  EXPECT_NE(run.err.find("locked by another process"), std::string::npos);
}

TEST_F(StoreCommandsTest, IndexFailsClearlyOnMissingInput) {
  ToolRun missing = Bfold("index '" + dir_ / "nowhere" + "'");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("does not exist"), std::string::npos);
  std::filesystem::create_directory(dir_ / "empty");
  ToolRun empty = Bfold("index '" + dir_ / "empty" + "'");
  EXPECT_EQ(empty.status, 1);
  EXPECT_NE(empty.err.find("no compindx.dat"), std::string::npos);
  EXPECT_EQ(Bfold("index").status, 2);
}

TEST_F(StoreCommandsTest, InstalledPrintsTheHighestVersionOfEachId) {
  const std::string a = Store("a", {{"VIEWER", 2, {}}, {"CORE", 7, {}}});
  const std::string b = Store("b", {{"VIEWER", 5, {}}});
  const std::string c = Store("c", {{"EXTRA", 1, {}}});
  Store("d", {{"LISTED", 4, {}}});
  WriteWholeFile(dir_ / "list.txt", dir_ / "d\n\n");
  ToolRun run =
      Bfold("installed --store '" + a + "' --store '" + b + "/' --search '" +
            c + "' --search-list '" + dir_ / "list.txt" + "'");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "CORE 7\nEXTRA 1\nLISTED 4\nVIEWER 5\n");
}

TEST_F(StoreCommandsTest, InstalledRejectsBadInput) {
  ToolRun nothing = Bfold("installed");
  EXPECT_EQ(nothing.status, 2);
  EXPECT_NE(nothing.err.find("nothing to search"), std::string::npos);
  ToolRun missing_store = Bfold("installed --store '" + dir_ / "nowhere" + "'");
  EXPECT_EQ(missing_store.status, 1);
  EXPECT_NE(missing_store.err.find("nowhere"), std::string::npos);
  ToolRun missing_list =
      Bfold("installed --search-list '" + dir_ / "no.txt" + "'");
  EXPECT_EQ(missing_list.status, 1);
  // A search directory without an index simply adds nothing.
  ToolRun empty = Bfold("installed --search '" + dir_.path() + "'");
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, "");
}

TEST_F(StoreCommandsTest, EverySubcommandHasHelp) {
  for (const char* command : {"index", "installed"}) {
    ToolRun run = Bfold(std::string(command) + " --help");
    EXPECT_EQ(run.status, 0) << command;
    EXPECT_NE(run.out.find("Usage:"), std::string::npos) << command;
  }
}

}  // namespace
}  // namespace brackenfold
