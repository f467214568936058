// bfold run as publishers and scripts run it: exit statuses (0 done, 1
// failed, 2 usage, help 0), the messages users see, and what lands on disk.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "blob/blob_key.h"
#include "blob/blob_writer.h"
#include "store/store_lock.h"
#include "tests/component/component_test_support.h"

namespace brackenfold {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct ToolRun {
  int status;
  std::string out, err;
  bool Says(const std::string& text) const {
    return (out + err).find(text) != std::string::npos;
  }
};

class BfoldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(WriteSignedBlob(At("core.blob"), ComponentFiles("core", 2)));
    BlobFiles viewer = ComponentFiles("viewer", 3, "1,CORE,2\n");
    viewer.insert(viewer.end(),
                  {{"bin.dat", "bin"},
                   {"viewer.dll", FileBytes(InitRecorderPath())},
                   {"component/initialize", "viewer.dll"},
                   {"component/expose", "Viewer.dll,viewer.dll"}});
    ASSERT_TRUE(WriteSignedBlob(At("viewer.blob"), viewer));
  }
  std::string At(const std::string& name) const { return dir_.Join(name); }
  // bfold with arguments, in the scratch directory.
  ToolRun Bfold(const std::string& arguments) {
    const std::string command = "cd '" + dir_.path() + "' && " + BFOLD_PATH +
                                " " + arguments + " >stdout 2>stderr";
    const int status = std::system(command.c_str());
    return ToolRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                   FileBytes(At("stdout")), FileBytes(At("stderr"))};
  }
  // Runs each command in turn: its exit status, and a text it prints.
  void Expect(
      const std::vector<std::tuple<std::string, int, std::string>>& runs) {
    for (const auto& [arguments, status, says] : runs) {
      const ToolRun run = Bfold(arguments);
      EXPECT_EQ(run.status, status) << arguments << "\n" << run.out << run.err;
      EXPECT_TRUE(run.Says(says)) << arguments << "\n" << run.out << run.err;
    }
  }
  json Index(const std::string& store) {
    return json::parse(Bfold("index --json " + store).out);
  }

  ScratchDirectory dir_;
};

TEST_F(BfoldTest, EveryCommandHasHelp) {
  for (const char* command :
       {"keygen", "pack", "verify", "list", "extract", "index", "installed",
        "check", "install", "doctor"}) {
    const ToolRun run = Bfold(std::string(command) + " --help");
    EXPECT_EQ(run.status, 0) << command;
    EXPECT_TRUE(run.Says("Usage:") && run.Says("Example")) << command;
  }
}

TEST_F(BfoldTest, KeygenPackVerifyListAndExtractRoundTrip) {
  ASSERT_EQ(Bfold("keygen --public k.der --private k.key").status, 0);
  const std::string der = FileBytes(At("k.der"));
  EXPECT_EQ(fs::status(At("k.key")).permissions() & fs::perms::others_read,
            fs::perms::none);
  Expect({{"keygen --public k.der --private k.key", 1, "--force"}});
  EXPECT_EQ(FileBytes(At("k.der")), der);
  ASSERT_TRUE(FilePath(At("src/component/")).EnsureDirectory());
  ASSERT_TRUE(WriteFileBytes(At("src/component/id"), "core\n"));
  ASSERT_TRUE(WriteFileBytes(At("src/component/version"), "7\n"));
  ASSERT_TRUE(WriteFileBytes(At("src/viewer.dll"), std::string(1e5, 'v')));
  ASSERT_TRUE(WriteFileBytes(At("bad.der"), "not a key"));
  const std::string pack =
      "pack src --key k.key --title 'Core parts' --description Core "
      "--prereq 1,base,2 --prereq 0,extra,1 --initialize viewer.dll "
      "--expose Viewer.dll,viewer.dll -o ";
  // Packed with the new private key, the blob verifies only against its pair.
  Expect({{pack + "a.blob", 0, "1 payload and 7 descriptor files"},
          {"verify a.blob --key k.der", 0, "OK"},
          {"verify a.blob", 1, "FAILED: signature:"},
          {"verify a.blob --key bad.der", 1, "not a blob public key"},
          {"extract a.blob --key k.der -d out", 0, ""},
          {"extract a.blob --key k.der -d o no", 1, "no file \"no\""}});
  const ToolRun list = Bfold("list a.blob --key k.der");
  for (const char* expected :
       {"100000", "viewer.dll", "id: core", "version: 7", "title: Core parts",
        "1,base,2\n    0,extra,1", "initialize: viewer.dll",
        "expose: Viewer.dll,viewer.dll"}) {
    EXPECT_TRUE(list.Says(expected)) << expected;
  }
  const json component =
      json::parse(Bfold("list --json a.blob --key k.der").out)["component"];
  EXPECT_EQ(component["id"], "CORE");  // as the installer reads it
  EXPECT_EQ(component["prerequisites"][1],
            json::parse(R"({"id": "EXTRA", "version": 1, "required": false})"));
  EXPECT_EQ(component["expose"]["viewer.dll"], "Viewer.dll");
  EXPECT_EQ(FileBytes(At("out/viewer.dll")), std::string(1e5, 'v'));
  Expect({{"keygen --force --public k.der --private k.key", 0, ""}});
  EXPECT_NE(FileBytes(At("k.der")), der);
}

TEST_F(BfoldTest, PackRefusesIncompleteOrBadInput) {
  ASSERT_TRUE(FilePath(At("dup/component/")).EnsureDirectory());
  ASSERT_TRUE(WriteFileBytes(At("dup/component/id"), "x"));
  ASSERT_TRUE(FilePath(At("bad/")).EnsureDirectory());
  ASSERT_TRUE(WriteFileBytes(At("bad/a\\..\\..\\x.dll"), "x"));
  const std::string rest = " --version 1 --title t --description d";
  const std::tuple<std::string, int, const char*> cases[] = {
      {"--id x" + rest, 2, "--key PRIVATE"},
      {"--unsigned --id x", 2, "--version, --title, --description"},
      {"--unsigned --id x --prereq 1,core" + rest, 2, "REQUIRED,ID,VERSION"},
      {"dup --unsigned --id y" + rest, 2, "component/id is given both"},
      {"bad --unsigned --id y" + rest, 1, "the installer refuses this name"}};
  for (const auto& [arguments, status, message] : cases) {
    const ToolRun run = Bfold("pack -o b.blob " + arguments);
    EXPECT_EQ(run.status, status) << arguments << "\n" << run.err;
    EXPECT_TRUE(run.Says(message)) << arguments << "\n" << run.err;
    EXPECT_FALSE(PathExists(At("b.blob"))) << arguments;
  }
}

TEST_F(BfoldTest, VerifyAndListSayWhichCheckFailed) {
  const std::string blob = FileBytes(At("core.blob"));
  const std::size_t signature = blob.find("ELGA\n42\n") + 8;
  const std::string unsigned_blob = BuildUnsignedBlob(ComponentFiles("c", 2));
  const std::pair<std::string, std::string> cases[] = {
      {blob, "OK: digest and signature verified"},
      {CorruptBlob(blob, blob.size() - 3), "FAILED: digest:"},
      {CorruptBlob(blob, signature + 5), "FAILED: signature:"},
      {CorruptBlob(blob, 0), "FAILED: format:"},
      {unsigned_blob, "FAILED: signature: the blob has no signature section"},
      {BuildBlob(ComponentFiles("core", 2), BlobBuildOptions{false, true}),
       "OK: signature verified (no digest section)"}};
  for (const auto& [bytes, message] : cases) {
    ASSERT_TRUE(WriteFileBytes(At("v.blob"), bytes));
    const ToolRun run = Bfold("verify v.blob");
    EXPECT_EQ(run.status, message[0] == 'O' ? 0 : 1) << message;
    EXPECT_TRUE(run.Says(message)) << message << "\n" << run.out << run.err;
  }
  ASSERT_TRUE(WriteFileBytes(At("v.blob"), CorruptBlob(blob, blob.size() - 2)));
  const json verify = json::parse(Bfold("verify --json v.blob").out);
  EXPECT_EQ(verify["ok"], false);
  EXPECT_EQ(verify["signature"]["failed_check"], "digest");
  ASSERT_TRUE(WriteFileBytes(At("v.blob"), unsigned_blob));
  EXPECT_TRUE(Bfold("list v.blob").Says("UNSIGNED: "));
}

TEST_F(BfoldTest, ExtractNeedsASignatureAndWritesNothingOutsideOrPartial) {
  ASSERT_TRUE(WriteFileBytes(At("u.blob"),
                             BuildUnsignedBlob(ComponentFiles("core", 2))));
  const ToolRun refused = Bfold("extract u.blob -d out");
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(refused.Says("extracted only with --no-verify")) << refused.err;
  EXPECT_FALSE(PathExists(At("out")));
  Expect({{"extract --no-verify u.blob -d unsigned", 0, ""},
          {"extract u.blob -o - a b", 2, "-o takes exactly one NAME"}});

  for (const char* name : {"../evil.txt", "a/../../evil.txt", "/tmp/evil.txt",
                           "a//b", "..", "C:evil", "a\\..\\..\\evil"}) {
    ASSERT_TRUE(WriteSignedBlob(At("e.blob"), {{"ok.txt", "ok"}, {name, "x"}}));
    const ToolRun run = Bfold("extract e.blob -d out/inner");
    EXPECT_EQ(run.status, 1) << name;
    EXPECT_TRUE(run.Says("refusing")) << run.err;
    EXPECT_FALSE(PathExists(At("out"))) << name;  // nothing written at all
  }

  // The last fork's data ends the blob; damaged there.
  const std::string blob = BuildSignedBlob(
      {{"good.txt", "good"}, {"zz.bin", std::string(5e4, 'z')}});
  ASSERT_TRUE(
      WriteFileBytes(At("x.blob"), CorruptBlob(blob, blob.size() - 10, 0xFF)));
  Expect({{"extract x.blob -d out", 1, "digest:"}});
  EXPECT_FALSE(PathExists(At("out/good.txt")));
  Expect({{"extract --no-verify x.blob -d out", 1,
           "\"zz.bin\" does not extract"}});
  EXPECT_EQ(FileBytes(At("out/good.txt")), "good");
  EXPECT_FALSE(PathExists(At("out/zz.bin")));
}

TEST_F(BfoldTest, ExtractsOneForkByteForByte) {
  std::string resource, blob, error;
  for (int i = 0; i < 20000; ++i) resource += static_cast<char>(i * 31 % 256);
  BlobWriter writer;
  ASSERT_TRUE(writer.AddBytes("up.txt", "main", &error));
  ASSERT_TRUE(
      writer.AddBytesFork("up.txt", "MACOS_RESOURCE", resource, &error));
  writer.SetSigningKey(&DemoBlobKey());
  ASSERT_TRUE(writer.WriteToString(&blob, &error)) << error;
  ASSERT_TRUE(WriteFileBytes(At("f.blob"), blob));
  EXPECT_TRUE(Bfold("extract f.blob --fork MACOS_RESOURCE -o - up.txt").out ==
              resource);
  Expect({{"extract f.blob -o main.txt up.txt", 0, ""},
          {"extract f.blob --fork MACOS_FINDER -o - up.txt", 1,
           "with a MACOS_FINDER fork"}});
  EXPECT_EQ(FileBytes(At("main.txt")), "main");
}

TEST_F(BfoldTest, CheckAndInstallNameEveryUnmetRequirement) {
  ASSERT_TRUE(WriteSignedBlob(
      At("multi.blob"), ComponentFiles("multi", 1, "1,zeta,4\n1,alpha,1\n")));
  const ToolRun run = Bfold("check viewer.blob multi.blob");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(
      run.out,
      "VIEWER 3  viewer.blob\nMULTI 1  multi.blob\nunmet: ALPHA version 1 "
      "or later\nunmet: CORE version 2 or later\nunmet: ZETA version 4 "
      "or later\n");
  Expect({{"install --dir store viewer.blob", 1, "nothing was installed"},
          {"check viewer.blob core.blob", 0, "all prerequisites met"},
          {"install --help", 0, "Example"},
          {"install core.blob", 2, "--dir"}});
  EXPECT_FALSE(PathExists(At("store")));
}

TEST_F(BfoldTest, InstallIndexAndInstalledWorkOnTheStores) {
  const ToolRun run = Bfold("install --dir store viewer.blob core.blob");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(
      run.out,
      "installed VIEWER 3\ninstalled CORE 2\nindex: store/compindx.dat\n");
  const json index = Index("store");
  ASSERT_EQ(index["entries"].size(), 2u);
  const std::string library = index["entries"][0]["files"]["Viewer.dll"];
  const std::string bin = index["entries"][0]["files"]["bin.dat"];
  EXPECT_EQ(FileBytes(At("store/" + bin)), "bin");
  EXPECT_NE(FileBytes(At("store/" + library + ".calls")), "");  // called
  EXPECT_EQ(Bfold("index store/compindx.dat").out,
            "VIEWER 3\n  Viewer.dll -> " + library + "\n  bin.dat -> " + bin +
                "\nCORE 2\n");
  BlobFiles sub = ComponentFiles("sub", 1);
  sub.emplace_back("nodir/x.dll", "x");
  ASSERT_TRUE(WriteSignedBlob(At("sub.blob"), sub));
  ASSERT_TRUE(WriteFileBytes(At("list.txt"), At("c") + "\n\n"));
  // The target store, --store and --search count as installed.
  Expect({{"install --dir two --store store viewer.blob", 0, ""},
          {"install --dir c core.blob", 0, ""},
          {"check --search store/ viewer.blob", 0, ""},
          {"installed --store two --search-list list.txt", 0,
           "CORE 2\nVIEWER 3\n"},
          {"installed --search-list no.txt", 1, "no.txt"},
          {"installed", 2, "nothing to search"},
          {"install --dir store core.blob sub.blob", 1,
           "bfold install: could not install into 'store/'"}});
  EXPECT_EQ(Index("store")["entries"].size(), 2u);
  StoreLock held = AcquireStoreLock(At("store/compindx.dat"), 0);
  const std::string before = FileBytes(At("store/compindx.dat"));
  Expect({{"install --dir store core.blob", 1, "locked by another process"},
          {"index store", 0, "locked by another process"}});
  EXPECT_EQ(FileBytes(At("store/compindx.dat")), before);
}

TEST_F(BfoldTest, DoctorFindsOrphansAndFixRemovesOnlyThem) {
  BlobFiles plain = ComponentFiles("viewer", 3);
  plain.emplace_back("bin.dat", "bin");
  ASSERT_TRUE(WriteSignedBlob(At("plain.blob"), plain));
  ASSERT_EQ(Bfold("install --dir s plain.blob").status, 0);
  const std::string bin = Index("s")["entries"][0]["files"]["bin.dat"];
  Expect({{"doctor s", 0, "clean"}});
  // What a killed installation leaves, and a link planted in the store.
  ASSERT_TRUE(FilePath(At("s/sub/")).MakeDirectory());
  ASSERT_TRUE(WriteFileBytes(At("s/sub/lost3C000001.dll"), "orphan"));
  ASSERT_TRUE(WriteFileBytes(At("s/compindx.dat.tmp"), "half an index"));
  ASSERT_EQ(::symlink(At("core.blob").c_str(), At("s/evil").c_str()), 0);
  const ToolRun run = Bfold("doctor s");
  EXPECT_EQ(run.status, 1);
  for (const char* found : {"sub/lost3C000001.dll: orphan",
                            "compindx.dat.tmp: leftover", "evil: orphan"}) {
    EXPECT_TRUE(run.Says(found)) << found << run.out;
  }
  EXPECT_TRUE(PathExists(At("s/sub/lost3C000001.dll")));  // only looked
  Expect({{"doctor --fix s", 0, ""}});
  EXPECT_EQ(ListDirectory(At("s")),
            (std::vector<std::string>{bin, "compindx.dat", "sub"}));
  EXPECT_EQ(ListDirectory(At("s/sub")), std::vector<std::string>{});
}

}  // namespace
}  // namespace brackenfold
