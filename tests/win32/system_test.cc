// The fatal error report; directory creation, whose every failure is one;
// registry keys made, replaced and deleted; Navigator's directory read from
// the registry.
#include <gtest/gtest.h>

#include <map>

#include "tests/component/component_test_support.h"
#include "win32/directory_path.h"
#include "win32/fatal_error.h"
#include "win32/netscape_helper.h"
#include "win32/registry_helper.h"

namespace brackenfold {
namespace {

std::string Question(const std::string& message) {
  return "An unexpected error has occurred. Installation is unable to "
         "continue. Details on the error follow.\n\n" +
         message +
         "\n\nAdditional information on this error can be written to a file "
         "of your chosing. This file will be helpful if you report this issue "
         "to Vantorium. Would you like to create this file?";
}

TEST(FatalError, OffersTheDetailsFileAndShowsThemWhenNotSaved) {
  ScratchDirectory scratch;
  const std::string old = scratch.Join("old.txt");
  ASSERT_TRUE(WriteFileBytes(old, std::string(5000, 'x')));
  const std::string ask = "Vantorium Installer Error276|" + Question("M") + "|";
  const struct {
    int answer;
    std::string chosen;  // "": the dialog is cancelled
    bool saved;
  } cases[] = {
      {box::kIdNo, old, false},
      {box::kIdYes, old, true},
      {box::kIdYes, "", false},
      {box::kIdYes, scratch.Join("none/d.txt"), false},
      {box::kIdYes, "/dev/full", false},
  };
  for (const auto& c : cases) {
    ScopedFakeEnv env;
    env->box_answers = {c.answer};
    env->save_dialog = [&c](const SaveFileRequest&, std::string* chosen) {
      *chosen = c.chosen;
      return !c.chosen.empty();
    };
    const std::uint32_t line = __LINE__ + 1;
    EXPECT_THROW(BF_FATAL_ERROR("M"), FakeExit);
    const std::string details =
        Question("M") +
        "\n\nAdditional information:\n\nFile name: tests/win32/system_test.cc"
        "\nLine Number: " +
        std::to_string(line) + "\nBuild Date: " + kFatalReportBuildDate +
        "\nBuild Time: " + kFatalReportBuildTime;
    std::string shown;  // each box as "caption flags|text|"
    for (const RecordedBox& b : env->boxes) {
      shown += b.caption + std::to_string(b.flags) + (b.owner ? "!" : "|") +
               b.text + "|";
    }
    EXPECT_EQ(shown,
              c.answer == box::kIdNo || c.saved
                  ? ask
                  : ask +
                        "Vantorium Installer Error16|Unable to save error "
                        "details to file.\n\n\n" +
                        details + "|");
    if (c.saved) {
      EXPECT_EQ(FileBytes(c.chosen), details);
    }
  }
}

const char kKey[] = "SOFTWARE\\T\\Plugin";

// FakeEnv whose key creations are counted and whose key enumeration can
// fail; its paths live in memory: 'd' a directory, 'f' a file, 'e' one whose
// status cannot be had, 'n' a missing one that cannot be made.
class SystemEnv : public FakeEnv {
 public:
  long CreateRegKey(RegKey root, const std::string& subkey, std::uint32_t a,
                    RegKey* key) override {
    ++creations;
    return FakeEnv::CreateRegKey(root, subkey, a, key);
  }
  long EnumRegKey(RegKey key, std::uint32_t i, char* name,
                  std::uint32_t* size) override {
    if (fail_enum) return win_error::kAccessDenied;
    return FakeEnv::EnumRegKey(key, i, name, size);
  }
  PathStatus Stat(const std::string& path) override {
    const char kind = paths.count(path) ? paths[path] : '-';
    PathStatus status;
    status.error = kind == 'e' ? 13 : kind == 'd' || kind == 'f' ? 0 : ENOENT;
    status.is_directory = kind == 'd';
    return status;
  }
  bool NewDirectory(const std::string& path) override {
    if (paths.count(path)) return false;
    created.push_back(path);
    return paths.emplace(path, 'd').second;
  }
  int creations = 0;
  bool fail_enum = false;
  std::map<std::string, char> paths;
  std::vector<std::string> created;
};

class SystemTest : public ::testing::Test {
 protected:
  SystemTest() : previous_(SetCurrentEnv(&env_)) {
    env_.SetRegString(kHkeyLocalMachine, kKey, "Old", "value");
    env_.AddRegKey(kHkeyLocalMachine, std::string(kKey) + "\\A\\A1");
    env_.AddRegKey(kHkeyLocalMachine, std::string(kKey) + "\\A\\A2");
  }
  ~SystemTest() override { SetCurrentEnv(previous_); }

  // CreateKey's exception texts; "" when it created or opened the key.
  std::string Create(const std::string& description, bool delete_on_denied) {
    RegKey key = 0;
    try {
      RegistryHelper::CreateKey(kHkeyLocalMachine, kKey, &key, description,
                                delete_on_denied);
    } catch (const RegistryHelperException& e) {
      return e.context() + "|" + e.system_text();
    }
    EXPECT_EQ(env_.CloseRegKey(key), 0);
    return "";
  }
  bool Has(const std::string& key, const char* value = nullptr) {
    return value ? env_.RegValue(kHkeyLocalMachine, key, value).has_value()
                 : env_.HasRegKey(kHkeyLocalMachine, key);
  }

  SystemEnv env_;
  Env* previous_;
};

TEST_F(SystemTest, CreateKeyOpensOrReplacesADeniedKeyDeletedWhole) {
  const std::string denied = "|Access is denied.\r\n";
  EXPECT_EQ(Create("", true), "");  // an existing key keeps everything
  env_.deny_create_keys = {"HKLM\\" + std::string(kKey)};
  EXPECT_EQ(Create("IE's key", false),
            "Attempting to create or open IE's key" + denied);
  env_.fail_enum = true;  // no second attempt after a failed deletion
  EXPECT_EQ(Create("", true), "Attempting to create or open " + denied);
  env_.fail_enum = false;
  env_.undeletable_keys = {"HKLM\\" + std::string(kKey) + "\\A\\A2"};
  EXPECT_NE(Create("", true), "");
  EXPECT_TRUE(Has(std::string(kKey) + "\\A\\A2") && Has(kKey, "Old"));
  EXPECT_EQ(env_.creations, 4);
  env_.undeletable_keys.clear();
  EXPECT_EQ(Create("", true), "");
  EXPECT_FALSE(Has(kKey, "Old") || Has(std::string(kKey) + "\\A"));
  EXPECT_FALSE(RegistryHelper::DeleteKeyTree(kHkeyLocalMachine, "SOFTWARE\\N"));
  EXPECT_EQ(env_.OpenRegKeyCount(), 0u);
}

TEST(NetscapeHelper, DetectsTheNewestInstallDirectory) {
  const std::string m259(259, 'm'), u260(260, 'u');
  struct Entry {
    std::string version;  // "": the per-user key
    std::string data;
    std::uint32_t type = reg::kSz;
  };
  const struct {
    std::vector<Entry> entries;
    std::string detected;
  } cases[] = {
      {{{"", "%Root%\\NS", reg::kExpandSz}}, "%Root%\\NS"},
      {{{"", "C:\\U"}, {"4.5", "C:\\O"}, {"4.7 (en)", "C:\\N\\"}}, "C:\\N"},
      {{{"10.0", m259}, {"9.5", "C:\\9"}, {"  4.08", "C:\\4"}}, m259},
      {{{"Users", "C:\\U"}, {"-1", "C:\\N"}, {"0.0", "C:\\Z"}}, ""},
      {{{"5", "C:\\5"}, {"5.0", "C:\\6"}}, "C:\\5"},  // the first of equals
      {{{"", std::string("C:\\1\0C:\\2", 9), reg::kMultiSz}}, "C:\\1"},
      {{{"", u260}}, u260},
      {{{"", u260 + "u"}, {"4.7", "C:\\W", reg::kDword}}, ""},
      {{{"4.7", std::string(260, 'm')}}, ""},
      {{{"", "C:\\U"}, {"6.0\\X", "C:\\6"}, {"4.7", "C:\\O"}}, "C:\\U"},
      {{{"99" + std::string(300, '9'), "C:\\L"}, {"4.5", "C:\\S"}}, "C:\\S"},
      {{{"5" + std::string(255, ' '), "C:\\5"}, {"4.5", "C:\\S"}}, ""},
  };
  for (const auto& c : cases) {
    ScopedFakeEnv env;
    for (const Entry& e : c.entries) {
      env->SetRegString(
          e.version.empty() ? kHkeyCurrentUser : kHkeyLocalMachine,
          "Software\\Netscape\\Netscape Navigator\\" +
              (e.version.empty() ? "" : e.version + "\\") + "Main",
          "Install Directory", e.data, e.type);
    }
    NetscapeHelper helper;
    EXPECT_EQ(helper.detected() ? helper.detected_directory() : "",
              c.detected.empty() ? "" : c.detected + "\\Program\\Plugins");
    EXPECT_EQ(env->OpenRegKeyCount(), 0u);
  }
}

TEST_F(SystemTest, DirectoryPathsAreCreatedLevelByLevelOrReported) {
  const std::string deep = "C:\\" + std::string(250, 'd');
  const std::string full = deep + "\\abcdef";  // 260 characters
  const std::string x300 = "C:\\" + std::string(300, 'x');
  const std::string invalid = "' because the path is invalid.";
  const std::string system =
      "\n\nWindows reports the following:\nAccess is denied.\r\n";
  const struct {
    std::string path;
    char a;  // what "C:\\A" is, as SystemEnv's paths tell it
    std::vector<std::string> created;
    std::string fatal;  // part of the report's message; empty: none
    bool one = false;   // CreateOneDirectory instead
  } cases[] = {
      {"C:/A//B\\", 0, {"C:\\A", "C:\\A\\B"}, ""},
      {"\\\\S\\SHARE\\DIR", 0, {"\\\\S\\SHARE\\DIR"}, ""},
      {"\\A\\B", 0, {"A\\B"}, ""},  // one backslash: relative
      {full + "\\", 0, {deep, full}, ""},
      {"", 0, {}, "directory '" + invalid},
      {"\\\\S\\", 0, {}, "'\\\\S\\" + invalid},
      {full + "\\x", 0, {}, full + "\\x" + invalid},
      {"C:\\A\\B", 'f', {}, "'C:\\A' because a file with that name already"},
      {"C:\\A\\B", 'e', {}, "Unable to determine if the directory 'C:\\A'"},
      {"C:\\A", 'n', {}, "'C:\\A'." + system},
      {"C:\\A\\\\\\", 0, {"C:\\A"}, "", true},
      {x300, 0, {x300.substr(0, 260)}, "", true},
  };
  for (const auto& c : cases) {
    env_ = SystemEnv();
    if (c.a) env_.paths["C:\\A"] = c.a;
    env_.last_error = 5;
    try {
      c.one ? CreateOneDirectory(c.path) : CreateDirectoryPath(c.path);
    } catch (const FakeExit&) {
    }
    EXPECT_EQ(env_.exit_status.has_value(), !c.fatal.empty()) << c.path;
    EXPECT_EQ(env_.created, c.created) << c.path;
    const std::string shown = env_.boxes.empty() ? "" : env_.boxes[0].text;
    EXPECT_NE(shown.find(c.fatal), std::string::npos) << shown;
  }
}

}  // namespace
}  // namespace brackenfold
