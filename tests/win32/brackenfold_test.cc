// The install driver on real scratch files and the units it is made of: the
// running-browser warning, the fatal error report, directory creation (whose
// every failure is one), registry keys made, replaced and deleted, and
// Navigator's directory read from the registry.
#include "win32/brackenfold.h"

#include <sys/stat.h>

#include <deque>
#include <map>

#include "store/index_file.h"
#include "store/store_locations.h"
#include "tests/component/component_test_support.h"
#include "win32/browser_check.h"
#include "win32/directory_path.h"
#include "win32/fatal_error.h"
#include "win32/host_window.h"
#include "win32/ie_registration.h"
#include "win32/netscape_helper.h"
#include "win32/registry_helper.h"

namespace brackenfold {
namespace {

const FakeWindow kHost{"Vantorium 3D Player", "GLBSInstall"};
const FakeWindow kIe{"", "IEFrame"};

// The boxes shown, as letters: the first warning naming Navigator (N),
// Internet Explorer (I) or both (B), the second warning (A), the question (?).
std::string Shown(const FakeEnv& env) {
  std::string shown;
  for (const RecordedBox& b : env.boxes) {
    const int ns = b.text.find("+ Netscape Navigator or") != std::string::npos;
    const int ie = b.text.find("+ Internet Explorer") != std::string::npos;
    shown += b.caption == "Are you sure?" ? '?' : "AINB"[2 * ns + ie];
  }
  return shown;
}

TEST(BrowserCheck, WarnsUntilTheBrowsersAreGoneOrTheCancelIsConfirmed) {
  const int kOk = box::kIdOk, kCancel = box::kIdCancel, kNo = box::kIdNo;
  // Navigator is told by its title, as the system gives it (1023 characters).
  const std::string cut = std::string(1012, 'x') + " - Netscape";
  const FakeWindow kNs{"Netscape Communicator", "X"}, kCut{cut, "X"};
  const struct {
    std::vector<FakeWindow> windows;
    std::deque<int> answers;
    std::string boxes;  // labels of the boxes shown
  } cases[] = {
      {{kHost, {"My Netscape"}, {"netscape"}, {"x" + cut}}, {}, ""},
      {{kIe, kNs}, {kOk}, "B"},  // the browsers are closed meanwhile
      {{kHost, kCut}, {kOk, kOk}, "NA"},
      {{kIe}, {kCancel, kNo, kCancel, kNo}, "I?I?IA"},
      {{kIe}, {kCancel, box::kIdYes}, "I?"},
      {{kIe}, {kOk, kCancel, box::kIdYes}, "IA?"},
      {{kIe}, {0, 0}, "IA"},  // boxes that fail
  };
  for (const auto& c : cases) {
    ScopedFakeEnv env;
    HostWindow() = &env;
    env->windows = c.windows;
    env->box_answers = c.answers;
    env->before_enum = [&c](FakeEnv& e, int pass) {
      if (c.boxes == "B" && pass == 1) e.windows.clear();
    };
    EXPECT_EQ(CheckRunningBrowsers(), c.boxes.empty() || c.boxes.back() != '?');
    EXPECT_EQ(Shown(env.env()), c.boxes);
  }
}

// A scratch directory with the plug-in library and a component blob; the
// host's window is there, and Navigator's in C:\NS (drive C is scratch too),
// whose directory dialogs end with the codes in dialogs_.
class InstallSequence : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    ASSERT_TRUE(WriteFileBytes(library_, "MZ"));
    blob_ = WriteBlob("viewer.blob", ComponentFiles("viewer", 3));
    env_->windows = {kHost};
    env_->SetRegString(kHkeyCurrentUser, kNavigator, "Install Directory",
                       "C:\\NS");
    env_->drive_root = scratch_.path();
    ASSERT_EQ(mkdir(scratch_.Join("C").c_str(), 0755), 0);
    env_->modal_dialog = [this](ModuleHandle, int, WindowHandle,
                                DialogHandler*) {
      const std::intptr_t code = dialogs_.front();
      dialogs_.pop_front();
      return code;
    };
  }
  std::string Recorded() {  // the data directory recorded in the registry
    auto value =
        env_->RegValue(kHkeyLocalMachine, kProductKey, kSystemDataPathValue);
    return value && value->type == reg::kSz ? value->data : "none";
  }

  const std::string kNavigator = "Software\\Netscape\\Netscape Navigator\\Main";
  const std::string kVtvm =
      "SOFTWARE\\Microsoft\\Internet Explorer\\Plugins\\Extension\\.vtvm";
  const std::string library_ = scratch_.Join("plugin.dll");
  std::string data_ = scratch_.Join("Data"), blob_;
  std::deque<std::intptr_t> dialogs_{1};
};

TEST_F(InstallSequence, InstallsEverywhereAndRecordsTheDataDirectory) {
  data_ = scratch_.Join("Vantorium/Player Data/");
  // The host's window is the first exact match, polled for every 100 ms.
  env_->windows = {{"Vantorium 3D Player", "GLBSInstallX"},
                   {"vantorium 3d player", "glbsinstall"}};
  env_->before_enum = [](FakeEnv& e, int pass) {
    if (pass == 2) e.windows.insert(e.windows.end(), {kHost, kHost});
  };
  dialogs_ = {2, 1};  // cancelled, not confirmed, then accepted
  env_->box_answers = {box::kIdNo};
  blob_ = WriteBlob("core.blob", ComponentFiles("core", 1)) + "," + blob_;
  EXPECT_EQ(DoInstall(data_.c_str(), blob_.c_str(), library_.c_str()), 0);
  EXPECT_EQ(HostWindow(), reinterpret_cast<WindowHandle>(3));
  EXPECT_EQ(env_->sleeps, std::vector<std::uint32_t>(3, 100));
  EXPECT_EQ(Recorded(), data_ + '\0');
  EXPECT_EQ(FileBytes(data_ + "NPAXVnt.dll"), "MZ");
  EXPECT_EQ(FileBytes(scratch_.Join("C/NS/Program/Plugins/NPAXVnt.dll")), "MZ");
  EXPECT_EQ(env_->RegValue(kHkeyLocalMachine, kVtvm, "Location")->data,
            data_ + "NPAXVnt.dll" + '\0');
  EXPECT_NE(FileBytes(data_ + "components/" + kIndexFileName).find("VIEWER"),
            std::string::npos);
  EXPECT_EQ(Shown(env_.env()), "?");
  EXPECT_EQ(env_->OpenRegKeyCount(), 0u);
}

TEST_F(InstallSequence, ConfirmedCancelsEndTheCallAfterTheRecord) {
  const std::string old = scratch_.Join("Old");  // an earlier installation's
  env_->SetRegString(kHkeyLocalMachine, kProductKey, kSystemDataPathValue, old);
  ResetStoreLocations();
  std::vector<std::string> recorded;  // at each look at the windows
  env_->before_enum = [&](FakeEnv&, int) { recorded.push_back(Recorded()); };
  env_->windows.push_back(kIe);
  env_->box_answers = {box::kIdCancel, box::kIdYes};
  EXPECT_EQ(DoInstall(data_.c_str(), "", library_.c_str()), -1);
  EXPECT_EQ(recorded, (std::vector<std::string>{old + '\0', data_ + '\0'}));
  FilePath store;  // the machine-wide store was found from the earlier record
  EXPECT_TRUE(LookupStore(kSystemStoreName, &store));
  EXPECT_EQ(store.text(), old + "/components/");
  dialogs_ = {2};  // Navigator's directory dialog cancelled, and confirmed
  env_->box_answers = {box::kIdOk, box::kIdYes};
  EXPECT_EQ(DoInstall(data_.c_str(), "", library_.c_str()), -1);
  EXPECT_FALSE(PathExists(data_ + "/NPAXVnt.dll"));
}

TEST_F(InstallSequence, FailedCopiesRegistrationsAndComponentsAreShown) {
  env_->box_answers = {box::kIdNo};  // no details file
  EXPECT_THROW(DoInstall(data_.c_str(), "", nullptr), FakeExit);  // Navigator
  env_->DeleteRegKey(kHkeyCurrentUser, kNavigator);  // into the data directory
  env_->boxes.clear();
  const std::string file = scratch_.Join("File");  // no directory there
  ASSERT_TRUE(WriteFileBytes(file, "a file"));
  EXPECT_EQ(DoInstall(file.c_str(), blob_.c_str(), library_.c_str()), -1);
  EXPECT_FALSE(PathExists(scratch_.Join("NPAXVnt.dll")) ||
               PathExists(scratch_.Join("components")));
  EXPECT_FALSE(env_->HasRegKey(kHkeyLocalMachine, kVtvm));
  env_->AddRegKey(kHkeyLocalMachine, kVtvm);  // one that cannot be replaced
  env_->deny_create_keys = env_->undeletable_keys = {"HKLM\\" + kVtvm};
  const std::string missing = scratch_.Join("missing");
  EXPECT_EQ(DoInstall(data_.c_str(), missing.c_str(), library_.c_str()), -1);
  std::string shown;
  for (const RecordedBox& b : env_->boxes) {
    shown += b.caption + std::to_string(b.flags) + (b.owner ? "!" : "|");
  }
  EXPECT_EQ(shown,
            "Unable to install the Vantorium plug-in16|Unable to set up "
            "Internet Explorer276|Details on problem0|Error0|");
  EXPECT_EQ(env_->boxes[2].text,
            "Unable to setup registry correctly (ie_extensions_vtvm).");
}

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
    std::string chosen;
    bool saved;
  } cases[] = {
      {box::kIdNo, old, false},
      {box::kIdYes, old, true},
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
    const std::string details = Question("M") +
                                "\n\nAdditional information:\n\nFile name: "
                                "tests/win32/brackenfold_test.cc"
                                "\nLine Number: " +
                                std::to_string(line) +
                                "\nBuild Date: " + kFatalReportBuildDate +
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

// FakeEnv whose key creations are counted and whose n-th value write and
// key enumeration can fail; its paths live in memory: 'd' a directory, 'f' a
// file, 'e' one whose status cannot be had, 'n' a missing one that cannot be
// made.
class SystemEnv : public FakeEnv {
 public:
  long CreateRegKey(RegKey root, const std::string& subkey, std::uint32_t a,
                    RegKey* key) override {
    ++creations;
    return FakeEnv::CreateRegKey(root, subkey, a, key);
  }
  long SetRegValue(RegKey key, const std::string& name, std::uint32_t type,
                   const void* data, std::uint32_t size) override {
    if (++writes == fail_write) return win_error::kAccessDenied;
    return FakeEnv::SetRegValue(key, name, type, data, size);
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
  int creations = 0, writes = 0, fail_write = 0;
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
}

TEST_F(SystemTest, InternetExplorerStopsAtAFailingValueWrite) {
  env_.fail_write = 2;
  env_.box_answers = {box::kIdYes};  // the details
  EXPECT_FALSE(RegisterInternetExplorerPlugin("C:\\NPAXVnt.dll"));
  EXPECT_EQ(env_.boxes.back().text,
            "Unable to setup registry correctly (ie_extensions_vtvm_ctype)");
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
      {"C:\\A", 'n', {}, "'C:\\A'.\n\nWindows reports the following:\nAccess"},
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
