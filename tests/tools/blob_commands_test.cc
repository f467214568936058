// Runs the built bfold on blobs made in the test: exit statuses, messages and
// what lands on disk.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "blob/blob_key.h"
#include "blob/blob_writer.h"
#include "tests/support/blob_builder.h"

namespace brackenfold {
namespace {

namespace fs = std::filesystem;

struct ToolRun {
  int status;
  std::string output;  // stdout and stderr together
};

// stdout and stderr together, or stdout alone.
ToolRun Bfold(const std::string& arguments, bool with_stderr = true) {
  std::string command = std::string(BFOLD_PATH) + " " + arguments +
                        (with_stderr ? " 2>&1" : " 2>/dev/null");
  ToolRun run{-1, ""};
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
    run.output.append(buffer, got);
  }
  int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

std::string ReadBytes(const fs::path& path) {
  std::string bytes;
  EXPECT_TRUE(ReadWholeFile(path.string(), &bytes)) << path;
  return bytes;
}

class BlobCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        fs::path(::testing::TempDir()) /
        ("bfold_blob_" +
         std::string(
             ::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    demo_key_ = dir_ / "demo.key";
    WriteBytes(demo_key_, FormatBlobPrivateKey(DemoBlobKey()));
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const {
    return (dir_ / name).string();
  }

  fs::path dir_;
  fs::path demo_key_;
};

TEST_F(BlobCommandsTest, HelpOnEverySubcommand) {
  for (const char* command : {"keygen", "pack", "verify", "list", "extract"}) {
    ToolRun run = Bfold(std::string(command) + " --help");
    EXPECT_EQ(run.status, 0) << command;
    EXPECT_NE(run.output.find("Usage:"), std::string::npos) << command;
    EXPECT_NE(run.output.find("Example"), std::string::npos) << command;
  }
  EXPECT_EQ(Bfold("verify").status, 2);
  EXPECT_EQ(Bfold("extract").status, 2);
  EXPECT_EQ(Bfold("keygen --public x.der").status, 2);
}

TEST_F(BlobCommandsTest, KeygenWritesBothKeysAndKeepsExistingOnes) {
  std::string pub = Path("k.der"), priv = Path("k.key");
  ToolRun run = Bfold("keygen --public " + pub + " --private " + priv);
  ASSERT_EQ(run.status, 0) << run.output;
  std::string der = ReadBytes(pub);
  ASSERT_EQ(der.size(), 421u);
  EXPECT_EQ(der.substr(0, 4), std::string("\x30\x82\x01\xA1", 4));
  BlobKey key, public_key;
  std::string error;
  ASSERT_TRUE(ParseBlobPrivateKey(ReadBytes(priv), &key, &error)) << error;
  ASSERT_TRUE(DecodeBlobPublicKey(der, &public_key, &error)) << error;
  EXPECT_EQ(key.y, public_key.y);
  EXPECT_EQ(fs::status(priv).permissions() & fs::perms::others_read,
            fs::perms::none);

  run = Bfold("keygen --public " + pub + " --private " + priv);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("--force"), std::string::npos);
  EXPECT_EQ(ReadBytes(pub), der);
  EXPECT_EQ(
      Bfold("keygen --force --public " + pub + " --private " + priv).status, 0);
  EXPECT_NE(ReadBytes(pub), der);
}

TEST_F(BlobCommandsTest, PackVerifyListExtractRoundTrip) {
  WriteBytes(dir_ / "src/component/id", "core\n");
  WriteBytes(dir_ / "src/component/version", "7\n");
  WriteBytes(dir_ / "src/bin/viewer.dll", std::string(100000, 'v'));
  WriteBytes(dir_ / "src/docs/read me.txt", "hello");
  ToolRun run =
      Bfold("pack " + Path("src") + " -o " + Path("a.blob") + " --key " +
            demo_key_.string() +
            " --title 'Core parts' --description Core --prereq 1,base,2"
            " --prereq 0,extra,1 --initialize bin/viewer.dll"
            " --expose Viewer.dll,bin/viewer.dll");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("2 payload and 7 descriptor files"),
            std::string::npos)
      << run.output;

  run = Bfold("verify " + Path("a.blob"));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("OK: digest and signature verified"),
            std::string::npos);

  run = Bfold("list " + Path("a.blob"));
  EXPECT_EQ(run.status, 0) << run.output;
  for (const char* expected :
       {"100000", "bin/viewer.dll", "docs/read me.txt", "id: core",
        "version: 7", "title: Core parts", "1,base,2\n    0,extra,1",
        "initialize: bin/viewer.dll", "expose: Viewer.dll,bin/viewer.dll"}) {
    EXPECT_NE(run.output.find(expected), std::string::npos) << expected;
  }

  run = Bfold("extract " + Path("a.blob") + " -d " + Path("out"));
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(ReadBytes(dir_ / "out/bin/viewer.dll"), std::string(100000, 'v'));
  EXPECT_EQ(ReadBytes(dir_ / "out/docs/read me.txt"), "hello");
  EXPECT_EQ(ReadBytes(dir_ / "out/component/prereq"), "1,base,2\n0,extra,1\n");

  run = Bfold("extract " + Path("a.blob") + " -d " + Path("one") +
              " component/id");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(ReadBytes(dir_ / "one/component/id"), "core\n");
  EXPECT_FALSE(fs::exists(dir_ / "one/bin"));
  run = Bfold("extract " + Path("a.blob") + " -d " + Path("one") + " nosuch");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("no file \"nosuch\""), std::string::npos);
}

TEST_F(BlobCommandsTest, EmptyPrereqOptionPacksAnEmptyList) {
  ToolRun run = Bfold("pack -o " + Path("e.blob") +
                      " --unsigned --id x --version 1 --title t"
                      " --description d --prereq ''");
  ASSERT_EQ(run.status, 0) << run.output;
  run = Bfold("extract --no-verify " + Path("e.blob") + " -d " + Path("e") +
              " component/prereq");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(ReadBytes(dir_ / "e/component/prereq"), "");
}

TEST_F(BlobCommandsTest, PackingTwiceGivesTheSameBlob) {
  WriteBytes(dir_ / "src/b/x.dll", std::string(70000, 'x'));
  WriteBytes(dir_ / "src/a.txt", "a");
  std::string options = " --key " + demo_key_.string() +
                        " --id x --version 1 --title t --description d";
  ASSERT_EQ(
      Bfold("pack " + Path("src") + " -o " + Path("1.blob") + options).status,
      0);
  ASSERT_EQ(
      Bfold("pack " + Path("src") + " -o " + Path("2.blob") + options).status,
      0);
  EXPECT_EQ(ReadBytes(dir_ / "1.blob"), ReadBytes(dir_ / "2.blob"));
  EXPECT_EQ(Bfold("verify " + Path("2.blob")).status, 0);
}

TEST_F(BlobCommandsTest, JsonHoldsTheValuesAsTheInstallerReadsThem) {
  BlobFiles files = ComponentFiles(" core ", 7, "1, base, 2\r\n0,Extra,1");
  files.push_back({"component/initialize", " bin/v.dll\n"});
  files.push_back({"component/expose", "Viewer.dll,bin/v.dll\n"});
  files.push_back({"bin/v.dll", std::string(3000, 'v')});
  files.push_back({"caf\xe9.txt", "x"});
  WriteBytes(dir_ / "j.blob", BuildSignedBlob(files));
  ToolRun run = Bfold("list --json " + Path("j.blob"), false);
  ASSERT_EQ(run.status, 0) << run.output;
  auto list = nlohmann::json::parse(run.output);
  const auto& component = list["component"];
  EXPECT_EQ(component["id"], "CORE");
  EXPECT_EQ(component["version"], 7);
  EXPECT_EQ(component["title"], "core  component");  // trimmed
  EXPECT_EQ(component["platform"], "UNKNOWN");
  EXPECT_EQ(component["initialize"], "bin/v.dll");
  EXPECT_EQ(component["expose"]["bin/v.dll"], "Viewer.dll");
  EXPECT_EQ(component["prerequisites"], nlohmann::json::parse(R"([
      {"id": "BASE", "version": 2, "required": true},
      {"id": "EXTRA", "version": 1, "required": false}])"));
  EXPECT_EQ(list["files"][0]["name"], "bin/v.dll");
  EXPECT_EQ(list["files"][0]["forks"][0]["name"], "ALL_MAIN");
  EXPECT_EQ(list["files"][0]["forks"][0]["size"], 3000);
  EXPECT_EQ(list["files"][1]["name"], "caf\u00e9.txt");  // byte 0xE9
  EXPECT_EQ(list["signature"]["verdict"], "valid");

  // Which check failed, for list and verify alike; verify exits 1.
  WriteBytes(dir_ / "j.blob", CorruptBlob(BuildSignedBlob(files),
                                          BuildSignedBlob(files).size() - 2));
  run = Bfold("verify --json " + Path("j.blob"), false);
  EXPECT_EQ(run.status, 1);
  auto verify = nlohmann::json::parse(run.output);
  EXPECT_EQ(verify["ok"], false);
  EXPECT_EQ(verify["signature"]["verdict"], "invalid");
  EXPECT_EQ(verify["signature"]["failed_check"], "digest");
}

// An unsigned blob (a digest only, or no section at all) is extracted only
// with --no-verify, and list says plainly that it is unsigned.
TEST_F(BlobCommandsTest, ExtractRequiresASignature) {
  BlobFiles files = ComponentFiles("core", 2);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"digest only", BuildUnsignedBlob(files)},
      {"no section", BuildBlob(files, BlobBuildOptions{false, false})},
  };
  for (const auto& [what, bytes] : cases) {
    WriteBytes(dir_ / "u.blob", bytes);
    ToolRun run = Bfold("extract " + Path("u.blob") + " -d " + Path("out"));
    EXPECT_EQ(run.status, 1) << what;
    EXPECT_NE(run.output.find("bfold extract: " + Path("u.blob") +
                              ": signature: the blob has no signature section"),
              std::string::npos)
        << what << run.output;
    EXPECT_FALSE(fs::exists(dir_ / "out")) << what;
    run = Bfold("list " + Path("u.blob"));
    EXPECT_NE(run.output.find("UNSIGNED"), std::string::npos) << what;
    EXPECT_EQ(
        Bfold("extract --no-verify " + Path("u.blob") + " -d " + Path("out"))
            .status,
        0)
        << what;
    fs::remove_all(dir_ / "out");
  }
}

TEST_F(BlobCommandsTest, ExtractsOneForkToStandardOutputByteForByte) {
  std::string resource;
  for (int i = 0; i < 20000; ++i) resource += static_cast<char>(i * 31 % 256);
  BlobWriter writer;
  std::string error, blob;
  ASSERT_TRUE(writer.AddBytes("../up.txt", "main", &error));
  ASSERT_TRUE(
      writer.AddBytesFork("../up.txt", "MACOS_RESOURCE", resource, &error));
  writer.SetSigningKey(&DemoBlobKey());
  ASSERT_TRUE(writer.WriteToString(&blob, &error)) << error;
  WriteBytes(dir_ / "f.blob", blob);

  ToolRun run = Bfold(
      "extract " + Path("f.blob") + " --fork MACOS_RESOURCE -o - ../up.txt",
      false);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.output == resource) << run.output.size();
  run = Bfold("extract " + Path("f.blob") + " -o " + Path("main.txt") +
              " ../up.txt");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(ReadBytes(dir_ / "main.txt"), "main");
  EXPECT_EQ(Bfold("extract " + Path("f.blob") + " -o - a b").status, 2);
  run = Bfold("extract " + Path("f.blob") +
              " --fork MACOS_FINDER -o - "
              "../up.txt");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("with a MACOS_FINDER fork"), std::string::npos);
}

TEST_F(BlobCommandsTest, PackRefusesIncompleteOrBadInput) {
  std::string base = "pack -o " + Path("b.blob") + " ";
  const std::vector<std::tuple<std::string, int, std::string>> cases = {
      {"--id x --version 1 --title t --description d", 2, "--key PRIVATE"},
      {"--unsigned --id x", 2, "--version, --title, --description"},
      {"--unsigned --id x --version 1.5 --title t --description d", 2,
       "whole number"},
      {"--unsigned --id x --version 1 --title t --description d "
       "--prereq 1,core",
       2, "REQUIRED,ID,VERSION"},
      {"--unsigned --id x --version 1 --title t --description d "
       "--expose 'bad name,x'",
       2, "REGISTERED,FILE"},
      {"--unsigned --id x --version 1 --title t --description d "
       "--initialize missing.dll",
       2, "not a payload file"},
      {"--key " + Path("nokey") +
           " --id x --version 1 --title t "
           "--description d",
       1, "cannot read"},
      {"--key " + Path("../nodir") + " --unsigned", 2, "exclude each other"},
      {Path("nodir") + " --unsigned", 1, "not a directory"},
  };
  for (const auto& [arguments, status, message] : cases) {
    ToolRun run = Bfold(base + arguments);
    EXPECT_EQ(run.status, status) << arguments << "\n" << run.output;
    EXPECT_NE(run.output.find(message), std::string::npos) << run.output;
    EXPECT_FALSE(fs::exists(Path("b.blob"))) << arguments;
  }
  WriteBytes(dir_ / "src/component/id", "x");
  ToolRun run = Bfold(base + Path("src") +
                      " --unsigned --id y --version 1 "
                      "--title t --description d");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.output.find("component/id is given both"), std::string::npos);
  // A name the installer would refuse is refused when packing.
  fs::remove_all(dir_ / "src");
  WriteBytes(dir_ / "src" / "a\\..\\..\\x.dll", "x");
  run = Bfold(base + Path("src") +
              " --unsigned --id y --version 1 --title t --description d");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("the installer refuses this name"),
            std::string::npos)
      << run.output;
  EXPECT_FALSE(fs::exists(Path("b.blob")));
}

TEST_F(BlobCommandsTest, VerifySaysWhichCheckFailed) {
  std::string blob = BuildSignedBlob(ComponentFiles("core", 2));
  std::size_t body = BlobBodyOffset(blob);
  std::size_t signature = blob.find("ELGA\n42\n") + 8;
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"good", blob, "OK: digest and signature verified"},
      {"body", CorruptBlob(blob, blob.size() - 3), "FAILED: digest:"},
      {"table", CorruptBlob(blob, body + 6), "FAILED: digest:"},
      {"signature", CorruptBlob(blob, signature + 5), "FAILED: signature:"},
      {"format", CorruptBlob(blob, 0), "FAILED: format:"},
      {"truncated", blob.substr(0, body + 8), "FAILED: digest:"},
      {"unsigned", BuildUnsignedBlob(ComponentFiles("core", 2)),
       "FAILED: signature: the blob has no signature section"},
      {"signature only",
       BuildBlob(ComponentFiles("core", 2), BlobBuildOptions{false, true}),
       "OK: signature verified (no digest section)"},
  };
  for (const auto& [what, bytes, message] : cases) {
    WriteBytes(dir_ / "v.blob", bytes);
    ToolRun run = Bfold("verify " + Path("v.blob"));
    EXPECT_EQ(run.status, message.rfind("OK", 0) == 0 ? 0 : 1) << what;
    EXPECT_NE(run.output.find(message), std::string::npos) << what << "\n"
                                                           << run.output;
  }
}

TEST_F(BlobCommandsTest, VerifyWithAnotherKey) {
  std::string pub = Path("other.der"), priv = Path("other.key");
  ASSERT_EQ(Bfold("keygen --public " + pub + " --private " + priv).status, 0);
  WriteBytes(dir_ / "c.blob", BuildSignedBlob(ComponentFiles("core", 2)));
  ToolRun run = Bfold("verify " + Path("c.blob") + " --key " + pub);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("signature:"), std::string::npos);

  ASSERT_EQ(Bfold("pack -o " + Path("d.blob") + " --key " + priv +
                  " --id a --version 1 --title t --description d")
                .status,
            0);
  EXPECT_EQ(Bfold("verify " + Path("d.blob") + " --key " + pub).status, 0);
  EXPECT_EQ(Bfold("verify " + Path("d.blob")).status, 1);
  WriteBytes(dir_ / "bad.der", "not a key");
  run = Bfold("verify " + Path("d.blob") + " --key " + Path("bad.der"));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("not a blob public key"), std::string::npos);
}

TEST_F(BlobCommandsTest, ExtractRefusesNamesLeavingTheDirectory) {
  for (const char* name : {"../evil.txt", "a/../../evil.txt", "/tmp/evil.txt",
                           "a//b", "..", "C:evil", "a\\..\\..\\evil"}) {
    BlobFiles files = {{"ok.txt", "fine"}, {name, "evil"}};
    WriteBytes(dir_ / "e.blob", BuildSignedBlob(files));
    ToolRun run =
        Bfold("extract " + Path("e.blob") + " -d " + Path("out/inner"));
    EXPECT_EQ(run.status, 1) << name;
    EXPECT_NE(run.output.find("refusing"), std::string::npos) << run.output;
    EXPECT_FALSE(fs::exists(dir_ / "out")) << name;  // nothing written at all
  }
  EXPECT_FALSE(fs::exists(dir_ / "evil.txt"));
}

TEST_F(BlobCommandsTest, ExtractLeavesNoPartialFileOfACorruptFork) {
  std::string blob = BuildSignedBlob(
      {{"good.txt", "good"}, {"zz.bin", std::string(50000, 'z')}});
  // The last fork's data ends the blob; damage it there.
  std::string bad = CorruptBlob(blob, blob.size() - 10, 0xFF);
  WriteBytes(dir_ / "x.blob", bad);
  ToolRun run = Bfold("extract " + Path("x.blob") + " -d " + Path("out"));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("digest:"), std::string::npos) << run.output;
  EXPECT_FALSE(fs::exists(dir_ / "out/good.txt"));

  run = Bfold("extract --no-verify " + Path("x.blob") + " -d " + Path("out"));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("\"zz.bin\" does not extract"), std::string::npos)
      << run.output;
  EXPECT_EQ(ReadBytes(dir_ / "out/good.txt"), "good");
  EXPECT_FALSE(fs::exists(dir_ / "out/zz.bin"));
}

}  // namespace
}  // namespace brackenfold
