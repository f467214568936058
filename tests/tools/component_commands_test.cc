// bfold check and bfold install, run as a publisher runs them.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "store/index_file.h"
#include "store/store_lock.h"
#include "tests/component/component_test_support.h"

namespace brackenfold {
namespace {

struct ToolRun {
  int status;
  std::string out;
  std::string err;
};

std::vector<IndexEntry> ReadIndex(const std::string& path) {
  std::vector<IndexEntry> entries;
  IndexReader reader;
  if (!reader.Open(path)) return entries;
  IndexEntry entry;
  while (reader.ReadEntry(&entry.id, &entry.version, &entry.files)) {
    entries.push_back(entry);
  }
  return entries;
}

class ComponentCommandsTest : public ::testing::Test {
 protected:
  ToolRun Bfold(const std::string& arguments) {
    const std::string out = dir_.Join("stdout"), err = dir_.Join("stderr");
    const std::string command = "cd '" + dir_.path() + "' && " +
                                std::string(BFOLD_PATH) + " " + arguments +
                                " >'" + out + "' 2>'" + err + "'";
    const int status = std::system(command.c_str());
    return ToolRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, FileBytes(out),
                   FileBytes(err)};
  }
  std::string Blob(const std::string& name, const BlobFiles& files) {
    EXPECT_TRUE(WriteSignedBlob(dir_.Join(name), files));
    return name;
  }
  void SetUp() override {
    Blob("core.blob", ComponentFiles("core", 2));
    BlobFiles viewer = ComponentFiles("viewer", 3, "1,CORE,2\n");
    viewer.insert(viewer.end(),
                  {{"bin.dat", "bin"},
                   {"viewer.dll", FileBytes(InitRecorderPath())},
                   {"component/initialize", "viewer.dll"},
                   {"component/expose", "Viewer.dll,viewer.dll"}});
    Blob("viewer.blob", viewer);
  }
  ScratchDirectory dir_;
};

TEST_F(ComponentCommandsTest, CheckPrintsEveryUnmetRequirement) {
  Blob("multi.blob", ComponentFiles("multi", 1, "1,zeta,4\n1,alpha,1\n"));
  ToolRun run = Bfold("check viewer.blob multi.blob");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            "VIEWER 3  viewer.blob\n"
            "MULTI 1  multi.blob\n"
            "unmet: ALPHA version 1 or later\n"
            "unmet: CORE version 2 or later\n"
            "unmet: ZETA version 4 or later\n");
  EXPECT_EQ(run.err,
            "bfold check: the prerequisites of these blobs are not "
            "met\n");
}

TEST_F(ComponentCommandsTest, CheckPassesWithTheSetOrAnInstalledStore) {
  ToolRun run = Bfold("check viewer.blob core.blob");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "VIEWER 3  viewer.blob\nCORE 2  core.blob\nall prerequisites "
            "met\n");

  ASSERT_EQ(Bfold("install --dir store core.blob").status, 0);
  run = Bfold("check --store store viewer.blob");
  EXPECT_EQ(run.status, 0) << run.err;
  run = Bfold("check --search store/ viewer.blob");
  EXPECT_EQ(run.status, 0) << run.err;
}

TEST_F(ComponentCommandsTest, CheckNamesABlobThatCannotBeRead) {
  ASSERT_TRUE(WriteFileBytes(dir_.Join("unsigned.blob"),
                             BuildUnsignedBlob(ComponentFiles("U", 1))));
  ToolRun run = Bfold("check core.blob unsigned.blob");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "ComponentBlob::Init Failed in reader init\n"
            "bfold check: blob 'unsigned.blob': signature: the blob has no "
            "signature section\n");
  run = Bfold("check core.blob missing.blob");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "bfold check: blob 'missing.blob': cannot be opened: No such file "
            "or directory\n");
  run = Bfold("check --store nowhere core.blob");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "bfold check: store directory 'nowhere' does not exist\n");
}

TEST_F(ComponentCommandsTest, InstallWritesFilesIndexAndCallsTheLibrary) {
  ToolRun run = Bfold("install --dir store viewer.blob core.blob");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "installed VIEWER 3\ninstalled CORE 2\nindex: "
            "store/compindx.dat\n");
  std::vector<IndexEntry> entries = ReadIndex(dir_.Join("store/compindx.dat"));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].id, "VIEWER");
  EXPECT_EQ(entries[1].id, "CORE");
  const std::string library = entries[0].files["Viewer.dll"];
  EXPECT_TRUE(std::regex_match(library, std::regex("viewer[0-9A-F]{8}\\.dll")))
      << library;
  EXPECT_EQ(FileBytes(dir_.Join("store/" + entries[0].files["bin.dat"])),
            "bin");
  EXPECT_EQ(FileBytes(dir_.Join("store/" + library + ".calls")),
            "library=store/" + library + "\ncount=2\nViewer.dll;" + library +
                "\nbin.dat;" + entries[0].files["bin.dat"] + "\nend\n");

  // The target store counts as installed: the viewer alone goes in now.
  run = Bfold("install --dir store viewer.blob");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadIndex(dir_.Join("store/compindx.dat")).size(), 3u);
}

TEST_F(ComponentCommandsTest, InstallWithUnmetPrerequisitesWritesNothing) {
  ToolRun run = Bfold("install --dir store viewer.blob");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "unmet: CORE version 2 or later\n");
  EXPECT_EQ(run.err,
            "bfold install: the prerequisites of these blobs are not met; "
            "nothing was installed\n");
  EXPECT_FALSE(PathExists(dir_.Join("store")));
}

TEST_F(ComponentCommandsTest, OptionsTakeOneDirectoryEach) {
  ASSERT_EQ(Bfold("install --dir installed core.blob").status, 0);
  ToolRun run =
      Bfold("install --dir store --store installed viewer.blob core.blob");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadIndex(dir_.Join("store/compindx.dat")).size(), 2u);
}

TEST_F(ComponentCommandsTest, FailedInstallationSaysSoAndKeepsTheIndex) {
  ASSERT_EQ(Bfold("install --dir store core.blob").status, 0);
  const std::string before = FileBytes(dir_.Join("store/compindx.dat"));
  BlobFiles sub = ComponentFiles("sub", 1);
  sub.emplace_back("nodir/x.dll", "x");
  Blob("sub.blob", sub);
  ToolRun run = Bfold("install --dir store core.blob sub.blob");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("bfold install: could not install into 'store/'"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(FileBytes(dir_.Join("store/compindx.dat")), before);

  // A store held by someone else.
  StoreLock held = AcquireStoreLock(dir_.Join("store/compindx.dat"), 0);
  ASSERT_TRUE(held.held());
  run = Bfold("install --dir store core.blob");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(FileBytes(dir_.Join("store/compindx.dat")), before);
}

TEST_F(ComponentCommandsTest, PayloadInASubdirectoryIsRecordedRelative) {
  BlobFiles sub = ComponentFiles("sub", 1);
  sub.emplace_back("bin/x.dll", FileBytes(InitRecorderPath()));
  sub.emplace_back("component/initialize", "bin/x.dll");
  Blob("sub.blob", sub);
  ASSERT_TRUE(FilePath(dir_.Join("store")).MakeDirectory());
  ASSERT_TRUE(FilePath(dir_.Join("store/bin")).MakeDirectory());
  ToolRun run = Bfold("install --dir store sub.blob");
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<IndexEntry> entries = ReadIndex(dir_.Join("store/compindx.dat"));
  ASSERT_EQ(entries.size(), 1u);
  const std::string stored = entries[0].files["bin/x.dll"];
  EXPECT_TRUE(std::regex_match(stored, std::regex("bin/x[0-9A-F]{8}\\.dll")))
      << stored;
  EXPECT_NE(FileBytes(dir_.Join("store/" + stored + ".calls")), "");
}

TEST_F(ComponentCommandsTest, UsageErrorsAndHelp) {
  EXPECT_EQ(Bfold("install core.blob").status, 2);    // no --dir
  EXPECT_EQ(Bfold("install --dir store").status, 2);  // no blob
  EXPECT_EQ(Bfold("check").status, 2);
  ToolRun help = Bfold("install --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--dir"), std::string::npos);
  EXPECT_EQ(Bfold("check --help").status, 0);
  EXPECT_FALSE(PathExists(dir_.Join("store")));
}

}  // namespace
}  // namespace brackenfold
