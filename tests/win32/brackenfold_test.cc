// The install driver on real scratch files, and the units it starts with: the
// blob list, the wait for the host's window and the running-browser warning.
#include "win32/brackenfold.h"

#include <sys/stat.h>

#include <deque>

#include "store/index_file.h"
#include "store/store_locations.h"
#include "tests/component/component_test_support.h"
#include "win32/blob_list.h"
#include "win32/browser_check.h"
#include "win32/host_window.h"

namespace brackenfold {
namespace {

const FakeWindow kHost{"Vantorium 3D Player", "GLBSInstall"};
const FakeWindow kIe{"", "IEFrame"};

TEST(ParseBlobList, AppendsEveryCommaSeparatedItemUntouched) {
  std::vector<FilePath> list{FilePath("kept")};
  for (const char* text : {"a,b", ",,", "", " a , b"})
    ParseBlobList(text, &list);
  ParseBlobList(nullptr, &list);
  std::string paths;
  for (const FilePath& path : list) paths += path.text() + "|";
  EXPECT_EQ(paths, "kept|a|b||||| a | b||");
}

// The boxes shown, as letters: the first warning naming Navigator (N),
// Internet Explorer (I) or both (B), the second warning (A), the question (?).
std::string Shown(const FakeEnv& env) {
  std::string shown;
  for (const RecordedBox& b : env.boxes) {
    const bool ns = b.text.find("+ Netscape Navigator or") != std::string::npos;
    const bool ie = b.text.find("+ Internet Explorer") != std::string::npos;
    shown += b.caption == "Are you sure?" ? '?'
             : ns && ie                   ? 'B'
             : ns                         ? 'N'
             : ie                         ? 'I'
                                          : 'A';
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
    auto value = env_->RegValue(kHkeyLocalMachine, kProduct, "SystemDataPath");
    return value && value->type == reg::kSz ? value->data : "none";
  }

  const std::string kProduct = "SOFTWARE\\Vantorium\\Vantorium Player";
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
  env_->SetRegString(kHkeyLocalMachine, kProduct, "SystemDataPath", old);
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
  EXPECT_EQ(FileBytes(data_ + "/NPAXVnt.dll"), "MZ");
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

}  // namespace
}  // namespace brackenfold
