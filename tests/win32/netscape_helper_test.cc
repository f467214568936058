// Netscape's Plugins directory: detection from the registry, the choice in
// the directory dialog with its cancel question, and the copy.
#include "win32/netscape_helper.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "platform/dialog.h"
#include "tests/support/fake_env.h"
#include "win32/host_window.h"

namespace brackenfold {
namespace {

const char kUserKey[] = "Software\\Netscape\\Netscape Navigator\\Main";
const char kNavigatorKey[] = "Software\\Netscape\\Netscape Navigator";
const char kValue[] = "Install Directory";
const char kPrompt[] =
    "The following is detected as your Netscape Plug-ins directory. Simply "
    "select OK unless you know that you have a special situation.";

void SetVersion(FakeEnv& env, const std::string& version,
                const std::string& directory) {
  env.SetRegString(kHkeyLocalMachine,
                   std::string(kNavigatorKey) + "\\" + version + "\\Main",
                   kValue, directory);
}

TEST(NetscapeHelperTest, PerUserValueAlone) {
  ScopedFakeEnv env;
  env->SetRegString(kHkeyCurrentUser, kUserKey, kValue,
                    "C:\\Program Files\\Netscape\\Communicator");
  NetscapeHelper helper;
  EXPECT_TRUE(helper.detected());
  EXPECT_EQ(helper.detected_directory(),
            "C:\\Program Files\\Netscape\\Communicator\\Program\\Plugins");
  EXPECT_EQ(helper.chosen_directory(), helper.detected_directory());
  EXPECT_EQ(env->OpenRegKeyCount(), 0u);
}

TEST(NetscapeHelperTest, HighestMachineVersionWinsOverPerUserValue) {
  ScopedFakeEnv env;
  env->SetRegString(kHkeyCurrentUser, kUserKey, kValue, "C:\\User");
  SetVersion(env.env(), "4.5", "C:\\Old");
  SetVersion(env.env(), "4.7 (en)", "C:\\Newer\\");
  SetVersion(env.env(), "Users", "C:\\NotAVersion");
  NetscapeHelper helper;
  EXPECT_TRUE(helper.detected());
  EXPECT_EQ(helper.detected_directory(), "C:\\Newer\\Program\\Plugins");
  EXPECT_EQ(env->OpenRegKeyCount(), 0u);
}

TEST(NetscapeHelperTest, VersionsCompareAsNumbers) {
  ScopedFakeEnv env;
  SetVersion(env.env(), "10.0", "C:\\Ten");
  SetVersion(env.env(), "9.5", "C:\\Nine");
  SetVersion(env.env(), "  4.08", "C:\\Four");
  NetscapeHelper helper;
  EXPECT_EQ(helper.detected_directory(), "C:\\Ten\\Program\\Plugins");
}

TEST(NetscapeHelperTest, OnlyNamesAboveZeroCount) {
  ScopedFakeEnv env;
  SetVersion(env.env(), "Users", "C:\\Users");
  SetVersion(env.env(), "-1", "C:\\Negative");
  SetVersion(env.env(), "0.0", "C:\\Zero");
  NetscapeHelper helper;
  EXPECT_FALSE(helper.detected());
  EXPECT_EQ(helper.detected_directory(), "");
  EXPECT_EQ(helper.chosen_directory(), "");
}

TEST(NetscapeHelperTest, ValueTypes) {
  struct Case {
    std::uint32_t type;
    bool accepted;
  } cases[] = {{reg::kSz, true},
               {reg::kExpandSz, true},
               {reg::kMultiSz, true},
               {3 /* REG_BINARY */, false}};
  for (const Case& c : cases) {
    ScopedFakeEnv env;
    env->SetRegString(kHkeyCurrentUser, kUserKey, kValue, "%Root%\\NS", c.type);
    NetscapeHelper helper;
    EXPECT_EQ(helper.detected(), c.accepted) << c.type;
    if (c.accepted) {
      // Environment references stay as they are.
      EXPECT_EQ(helper.detected_directory(), "%Root%\\NS\\Program\\Plugins");
    }
  }
  ScopedFakeEnv env;
  env->SetRegDword(kHkeyCurrentUser, kUserKey, kValue, 7);
  env->SetRegDword(kHkeyLocalMachine,
                   std::string(kNavigatorKey) + "\\4.7\\Main", kValue, 7);
  EXPECT_FALSE(NetscapeHelper().detected());
}

TEST(NetscapeHelperTest, MultiStringEndsAtItsFirstZero) {
  ScopedFakeEnv env;
  env->SetRegString(kHkeyCurrentUser, kUserKey, kValue,
                    std::string("C:\\One\0C:\\Two", 13), reg::kMultiSz);
  EXPECT_EQ(NetscapeHelper().detected_directory(), "C:\\One\\Program\\Plugins");
}

TEST(NetscapeHelperTest, ValueWithoutTerminatorIsReadWithinItsSize) {
  ScopedFakeEnv env;
  // 261 bytes, none of them zero: the per-user buffer is full.
  std::string full(261, 'n');
  env->SetRegString(kHkeyCurrentUser, kUserKey, kValue, "");
  {
    RegKey key = 0;
    ASSERT_EQ(
        env->OpenRegKey(kHkeyCurrentUser, kUserKey, reg::kAllAccess, &key), 0);
    env->SetRegValue(key, kValue, reg::kSz, full.data(), 261);
    env->CloseRegKey(key);
  }
  NetscapeHelper helper;
  EXPECT_TRUE(helper.detected());
  EXPECT_EQ(helper.detected_directory(), full + "\\Program\\Plugins");
}

TEST(NetscapeHelperTest, ValueSizeLimits) {
  {
    // Per user: 260 characters and the terminator fit in 261 bytes.
    ScopedFakeEnv env;
    env->SetRegString(kHkeyCurrentUser, kUserKey, kValue,
                      std::string(260, 'u'));
    EXPECT_TRUE(NetscapeHelper().detected());
    env->SetRegString(kHkeyCurrentUser, kUserKey, kValue,
                      std::string(261, 'u'));
    EXPECT_FALSE(NetscapeHelper().detected());
  }
  {
    // Per machine: the buffer holds 260 bytes.
    ScopedFakeEnv env;
    SetVersion(env.env(), "4.7", std::string(259, 'm'));
    EXPECT_TRUE(NetscapeHelper().detected());
    SetVersion(env.env(), "4.7", std::string(260, 'm'));
    EXPECT_FALSE(NetscapeHelper().detected());
  }
}

TEST(NetscapeHelperTest, MachineFailuresLeaveThePerUserValue) {
  ScopedFakeEnv env;
  env->SetRegString(kHkeyCurrentUser, kUserKey, kValue, "C:\\User");
  // The newest version has no Main key; an older one does.
  env->AddRegKey(kHkeyLocalMachine, std::string(kNavigatorKey) + "\\6.0");
  SetVersion(env.env(), "4.7", "C:\\Older");
  NetscapeHelper helper;
  EXPECT_TRUE(helper.detected());
  EXPECT_EQ(helper.detected_directory(), "C:\\User\\Program\\Plugins");
  EXPECT_EQ(env->OpenRegKeyCount(), 0u);
}

TEST(NetscapeHelperTest, OverlongSubkeyNames) {
  {
    // A name too long for the 260-character buffer is passed over.
    ScopedFakeEnv env;
    SetVersion(env.env(), "99" + std::string(300, '9'), "C:\\Long");
    SetVersion(env.env(), "4.5", "C:\\Short");
    EXPECT_EQ(NetscapeHelper().detected_directory(),
              "C:\\Short\\Program\\Plugins");
  }
  {
    // The newest name plus "\Main" must fit in 260 characters.
    ScopedFakeEnv env;
    SetVersion(env.env(), "5" + std::string(255, ' '), "C:\\Five");
    SetVersion(env.env(), "4.5", "C:\\Short");
    EXPECT_FALSE(NetscapeHelper().detected());
    EXPECT_EQ(env->OpenRegKeyCount(), 0u);
  }
}

TEST(NetscapeHelperTest, JoinPath) {
  EXPECT_EQ(NetscapeHelper::JoinPath("", "NPAXVnt.dll"), "\\NPAXVnt.dll");
  EXPECT_EQ(NetscapeHelper::JoinPath("C:\\P", "NPAXVnt.dll"),
            "C:\\P\\NPAXVnt.dll");
  EXPECT_EQ(NetscapeHelper::JoinPath("C:\\P\\", "NPAXVnt.dll"),
            "C:\\P\\NPAXVnt.dll");
  EXPECT_EQ(NetscapeHelper::JoinPath("C:/P/", "x"), "C:/P/\\x");
}

// Just enough of a dialog for the user to type a path and press a button.
class TypingWindow : public DialogWindow {
 public:
  std::map<int, std::string> texts;
  std::intptr_t ended = 0;
  WindowHandle Handle() override { return reinterpret_cast<WindowHandle>(9); }
  void End(std::intptr_t code) override { ended = code; }
  void SetItemText(int id, const std::string& text) override {
    texts[id] = text;
  }
  std::string ItemText(int id, int max_count) override {
    return texts[id].substr(0, static_cast<std::size_t>(max_count - 1));
  }
  WindowRect Rect() override { return {}; }
  int ScreenWidth() override { return 640; }
  int ScreenHeight() override { return 480; }
  void MoveTo(int, int) override {}
  CursorHandle ShowWaitCursor() override { return nullptr; }
  void RestoreCursor(CursorHandle) override {}
  void ComboAddString(int, const std::string&) override {}
  int ComboFindString(int, int, const std::string&) override { return -1; }
  void ComboSetCurrent(int, int) override {}
  TreeItem TreeFirstChild(int, TreeItem) override { return nullptr; }
  TreeItem TreeNextSibling(int, TreeItem) override { return nullptr; }
  TreeItem TreeParent(int, TreeItem) override { return nullptr; }
  std::string TreeItemText(int, TreeItem, int) override { return ""; }
  TreeItem TreeInsertSorted(int, TreeItem, const std::string&) override {
    return nullptr;
  }
  void TreeDelete(int, TreeItem) override {}
  void TreeExpand(int, TreeItem) override {}
};

// A scratch directory standing in for drive C, and a plug-in library there.
class NetscapeChoiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/bf-ns-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    ASSERT_EQ(mkdir((root_ + "/C").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root_ + "/C/NS").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root_ + "/C/Other").c_str(), 0755), 0);
    WriteFile("C/plugin.dll", "new library");
    env_->drive_root = root_;
    env_->SetRegString(kHkeyCurrentUser, kUserKey, kValue, "C:\\NS");
  }
  void TearDown() override {
    std::string command = "rm -rf '" + root_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  void WriteFile(const std::string& relative, const std::string& text) {
    std::ofstream(root_ + "/" + relative) << text;
  }
  std::string ReadFile(const std::string& relative) {
    std::ifstream in(root_ + "/" + relative);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Each dialog takes the next action: a path to type and OK, or "cancel".
  void ScriptDialogs(std::deque<std::string> actions) {
    actions_ = std::move(actions);
    env_->modal_dialog = [this](ModuleHandle, int id, WindowHandle owner,
                                DialogHandler* handler) -> std::intptr_t {
      EXPECT_EQ(id, 104);
      EXPECT_EQ(owner, HostWindow());
      TypingWindow window;
      handler->OnInitDialog(window);
      shown_.push_back(window.texts[1008]);
      prompts_.push_back(window.texts[1007]);
      std::string action = actions_.front();
      actions_.pop_front();
      if (action == "cancel") {
        handler->OnCommand(window, 2, 0);
      } else {
        window.texts[1008] = action;
        handler->OnCommand(window, 1, 0);
      }
      return window.ended;
    };
  }

  ScopedFakeEnv env_;
  std::string root_;
  std::deque<std::string> actions_;
  std::vector<std::string> shown_, prompts_;
};

TEST_F(NetscapeChoiceTest, OkAcceptsTheDetectedDirectory) {
  ScriptDialogs({"C:\\NS\\Program\\Plugins"});
  ASSERT_EQ(mkdir((root_ + "/C/NS/Program").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root_ + "/C/NS/Program/Plugins").c_str(), 0755), 0);
  NetscapeHelper helper;
  EXPECT_TRUE(helper.ChoosePluginDirectory());
  EXPECT_EQ(shown_, std::vector<std::string>{"C:\\NS\\Program\\Plugins"});
  EXPECT_EQ(prompts_, std::vector<std::string>{kPrompt});
  EXPECT_EQ(helper.chosen_directory(), "C:\\NS\\Program\\Plugins");
  EXPECT_TRUE(env_->boxes.empty());
}

TEST_F(NetscapeChoiceTest, CancelThenNoShowsTheDialogAgain) {
  ScriptDialogs({"cancel", "cancel", "C:\\Other\\"});
  env_->box_answers = {box::kIdNo, box::kIdNo};
  NetscapeHelper helper;
  EXPECT_TRUE(helper.ChoosePluginDirectory());
  EXPECT_EQ(shown_.size(), 3u);
  EXPECT_EQ(shown_[2], "C:\\NS\\Program\\Plugins");
  ASSERT_EQ(env_->boxes.size(), 2u);
  EXPECT_EQ(env_->boxes[0].caption, "Are you sure?");
  EXPECT_EQ(env_->boxes[0].owner, nullptr);
  EXPECT_EQ(helper.chosen_directory(), "C:\\Other");
  EXPECT_EQ(helper.detected_directory(), "C:\\NS\\Program\\Plugins");
}

TEST_F(NetscapeChoiceTest, RejectedPathThenCancelAndYes) {
  // A missing directory is refused inside the dialog; the user then gives up.
  env_->modal_dialog = [](ModuleHandle, int, WindowHandle,
                          DialogHandler* handler) -> std::intptr_t {
    TypingWindow window;
    handler->OnInitDialog(window);
    window.texts[1008] = "C:\\Missing";
    handler->OnCommand(window, 1, 0);
    EXPECT_EQ(window.ended, 0);
    handler->OnCommand(window, 2, 0);
    return window.ended;
  };
  env_->box_answers = {box::kIdOk, box::kIdYes};
  NetscapeHelper helper;
  EXPECT_FALSE(helper.ChoosePluginDirectory());
  ASSERT_EQ(env_->boxes.size(), 2u);
  EXPECT_EQ(env_->boxes[0].caption, "Invalid Directory");
  EXPECT_EQ(env_->boxes[1].caption, "Are you sure?");
  EXPECT_EQ(helper.chosen_directory(), "C:\\NS\\Program\\Plugins");
}

TEST_F(NetscapeChoiceTest, CopyCreatesTheDirectoryAndReplacesOldCopies) {
  NetscapeHelper helper;
  helper.CopyPluginLibrary("C:\\plugin.dll");
  EXPECT_EQ(ReadFile("C/NS/Program/Plugins/NPAXVnt.dll"), "new library");
  WriteFile("C/NS/Program/Plugins/NPAXVnt.dll", "old");
  helper.CopyPluginLibrary("C:\\plugin.dll");
  EXPECT_EQ(ReadFile("C/NS/Program/Plugins/NPAXVnt.dll"), "new library");
  EXPECT_TRUE(env_->boxes.empty());
}

TEST_F(NetscapeChoiceTest, FailedCopyIsFatal) {
  env_->box_answers = {box::kIdNo};
  env_->last_error = 5;
  NetscapeHelper helper;
  EXPECT_THROW(helper.CopyPluginLibrary("C:\\missing.dll"), FakeExit);
  EXPECT_EQ(env_->exit_status, 1);
  ASSERT_EQ(env_->boxes.size(), 1u);
  EXPECT_NE(env_->boxes[0].text.find(
                "Failed to copy dll into Netscape plugins directory\n\nWindows "
                "reports the following:\nAccess is denied.\r\n"),
            std::string::npos);
}

}  // namespace
}  // namespace brackenfold
