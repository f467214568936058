// bfold index and bfold installed, run as a user runs them.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
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

TEST_F(StoreCommandsTest, JsonHoldsTheEntriesAndVersions) {
  const std::string store = Store("s", {{"VIEWER",
                                         3,
                                         {{"caf\xe9.dll",
                                           "caf\xe9"
                                           "3C000000.dll"}}},
                                        {"CORE", -1, {}}});
  ToolRun run = Bfold("index --json '" + store + "'");
  ASSERT_EQ(run.status, 0) << run.err;
  const auto index = nlohmann::json::parse(run.out);
  ASSERT_EQ(index["entries"].size(), 2u);
  EXPECT_EQ(index["entries"][0]["id"], "VIEWER");
  // A byte outside ASCII is written as the character of the same number.
  EXPECT_EQ(index["entries"][0]["files"]["caf\u00e9.dll"],
            "caf\u00e93C000000.dll");
  EXPECT_NE(run.out.find("caf\\u00e9.dll"), std::string::npos) << run.out;
  EXPECT_EQ(index["entries"][1]["version"], -1);
  EXPECT_TRUE(index["locked"]);

  run = Bfold("installed --json --store '" + store + "'");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(nlohmann::json::parse(run.out)["components"],
            nlohmann::json::parse(R"([{"id": "CORE", "version": -1},
                                      {"id": "VIEWER", "version": 3}])"));
}

TEST_F(StoreCommandsTest, DoctorFindsOrphansAndFixRemovesOnlyThem) {
  const std::string store =
      Store("s", {{"VIEWER",
                   3,
                   {{"Viewer.dll", "sub/viewer3C000000.dll"},
                    {"bin.dat", "bin3C000000.dat"}}}});
  std::filesystem::create_directory(store + "/sub");
  WriteWholeFile(store + "/sub/viewer3C000000.dll", "viewer");
  WriteWholeFile(store + "/bin3C000000.dat", "bin");
  const std::string index = ReadWholeFile(store + "/compindx.dat");
  ToolRun run = Bfold("doctor '" + store + "'");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("clean"), std::string::npos);

  // What a killed installation leaves, and a link planted in the store.
  WriteWholeFile(store + "/sub/lost3C000001.dll", "orphan");
  WriteWholeFile(store + "/compindx.dat.tmp", "half an index");
  WriteWholeFile(dir_ / "outside", "keep me");
  ASSERT_EQ(::symlink((dir_ / "outside").c_str(), (store + "/evil").c_str()),
            0);
  run = Bfold("doctor '" + store + "'");
  EXPECT_EQ(run.status, 1);
  for (const char* found : {"sub/lost3C000001.dll: orphan",
                            "compindx.dat.tmp: leftover", "evil: orphan"}) {
    EXPECT_NE(run.out.find(found), std::string::npos) << found << run.out;
  }
  EXPECT_TRUE(PathExists(store + "/sub/lost3C000001.dll"));  // only looked

  run = Bfold("doctor --fix '" + store + "'");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_FALSE(PathExists(store + "/sub/lost3C000001.dll"));
  EXPECT_FALSE(PathExists(store + "/compindx.dat.tmp"));
  EXPECT_FALSE(std::filesystem::is_symlink(store + "/evil"));
  EXPECT_EQ(ReadWholeFile(dir_ / "outside"), "keep me");
  EXPECT_EQ(ReadWholeFile(store + "/sub/viewer3C000000.dll"), "viewer");
  EXPECT_EQ(ReadWholeFile(store + "/bin3C000000.dat"), "bin");
  EXPECT_EQ(ReadWholeFile(store + "/compindx.dat"), index);
  EXPECT_FALSE(PathExists(store + "/compindx.dat.lock"));

  // A named file that is missing, or a link, stays a problem that --fix
  // does not touch; so does an index that would not be rewritten as it is.
  std::filesystem::remove(store + "/bin3C000000.dat");
  ASSERT_EQ(::symlink((dir_ / "outside").c_str(),
                      (store + "/bin3C000000.dat").c_str()),
            0);
  WriteWholeFile(store + "/compindx.dat", index + "\n");
  run = Bfold("doctor --fix '" + store + "'");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("bin3C000000.dat: named by the index (bin.dat of "
                         "VIEWER), but is a link"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("would not be rewritten byte for byte"),
            std::string::npos);
  EXPECT_TRUE(std::filesystem::is_symlink(store + "/bin3C000000.dat"));
  EXPECT_EQ(Bfold("doctor").status, 2);
  EXPECT_EQ(Bfold("doctor '" + dir_ / "nowhere" + "'").status, 1);
}

TEST_F(StoreCommandsTest, IndexReadsALockedStoreWithAWarning) {
  const std::string store = Store("s", {{"A", 1, {}}});
  StoreLock held = AcquireStoreLock(store + "/compindx.dat", 250);
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
  for (const char* command : {"index", "installed", "doctor"}) {
    ToolRun run = Bfold(std::string(command) + " --help");
    EXPECT_EQ(run.status, 0) << command;
    EXPECT_NE(run.out.find("Usage:"), std::string::npos) << command;
    EXPECT_NE(run.out.find("Example"), std::string::npos) << command;
  }
}

}  // namespace
}  // namespace brackenfold
