// The directory dialog's logic, driven through a fake DialogWindow: the tree,
// the drive list, the checks of OK, and the process-wide state of Run. File
// system answers come from a scratch directory standing in for the drives.
#include "win32/dlg_edit_directory.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/fake_env.h"
#include "win32/host_window.h"

namespace brackenfold {
namespace {

constexpr int kEdit = DlgEditDirectory::kEditId;
constexpr int kPrompt = DlgEditDirectory::kPromptId;
constexpr int kCombo = DlgEditDirectory::kDriveComboId;
constexpr int kTree = DlgEditDirectory::kTreeId;

bool LessNoCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(
      a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) <
               std::tolower(static_cast<unsigned char>(y));
      });
}

// The dialog's controls in memory: texts by id, a sorted combo box, and a
// tree whose items are checked for use after deletion.
class FakeDialogWindow : public DialogWindow {
 public:
  struct Node {
    std::string text;
    Node* parent = nullptr;
    std::vector<Node*> children;
    bool expanded = false;
  };

  std::map<int, std::string> texts;
  std::optional<std::intptr_t> ended;
  WindowRect rect{10, 20, 310, 220};
  int screen_width = 800, screen_height = 600;
  std::optional<std::pair<int, int>> moved_to;
  int wait_cursors = 0, restored_cursors = 0;
  std::vector<std::string> combo;
  int combo_current = -1;
  // Called after an item is deleted (a tree view moves its selection then).
  std::function<void(FakeDialogWindow&)> after_delete;

  WindowHandle Handle() override { return reinterpret_cast<WindowHandle>(77); }
  void End(std::intptr_t code) override { ended = code; }
  void SetItemText(int id, const std::string& text) override {
    texts[id] = text;
  }
  std::string ItemText(int id, int max_count) override {
    std::string text = texts[id];
    if (id == kCombo) {
      text = combo_current >= 0 ? combo[static_cast<std::size_t>(combo_current)]
                                : "";
    }
    return text.substr(0, static_cast<std::size_t>(max_count - 1));
  }
  WindowRect Rect() override { return rect; }
  int ScreenWidth() override { return screen_width; }
  int ScreenHeight() override { return screen_height; }
  void MoveTo(int x, int y) override { moved_to = std::make_pair(x, y); }
  CursorHandle ShowWaitCursor() override {
    ++wait_cursors;
    return reinterpret_cast<CursorHandle>(5);
  }
  void RestoreCursor(CursorHandle previous) override {
    EXPECT_EQ(previous, reinterpret_cast<CursorHandle>(5));
    ++restored_cursors;
  }

  void ComboAddString(int id, const std::string& text) override {
    EXPECT_EQ(id, kCombo);
    combo.insert(std::upper_bound(combo.begin(), combo.end(), text, LessNoCase),
                 text);
  }
  int ComboFindString(int id, int start, const std::string& text) override {
    EXPECT_EQ(id, kCombo);
    EXPECT_EQ(start, -1);
    for (std::size_t i = 0; i < combo.size(); ++i) {
      std::string head = combo[i].substr(0, text.size());
      if (!LessNoCase(head, text) && !LessNoCase(text, head)) {
        return static_cast<int>(i);
      }
    }
    return -1;
  }
  void ComboSetCurrent(int id, int index) override {
    EXPECT_EQ(id, kCombo);
    combo_current = index;
  }

  TreeItem TreeFirstChild(int id, TreeItem parent) override {
    Node* p = Check(id, parent);
    return p->children.empty() ? nullptr : p->children.front();
  }
  TreeItem TreeNextSibling(int id, TreeItem item) override {
    Node* n = Check(id, item);
    auto& siblings = n->parent->children;
    auto it = std::find(siblings.begin(), siblings.end(), n);
    return it + 1 == siblings.end() ? nullptr : *(it + 1);
  }
  TreeItem TreeParent(int id, TreeItem item) override {
    Node* n = Check(id, item);
    return n->parent == &root_ ? nullptr : n->parent;
  }
  std::string TreeItemText(int id, TreeItem item, int max_count) override {
    return Check(id, item)->text.substr(
        0, static_cast<std::size_t>(max_count - 1));
  }
  TreeItem TreeInsertSorted(int id, TreeItem parent,
                            const std::string& text) override {
    Node* p = Check(id, parent);
    nodes_.push_back(std::make_unique<Node>());
    Node* n = nodes_.back().get();
    n->text = text;
    n->parent = p;
    auto at = std::upper_bound(
        p->children.begin(), p->children.end(), n,
        [](Node* a, Node* b) { return LessNoCase(a->text, b->text); });
    p->children.insert(at, n);
    return n;
  }
  void TreeDelete(int id, TreeItem item) override {
    Node* n = Check(id, item);
    auto& siblings = n->parent->children;
    siblings.erase(std::find(siblings.begin(), siblings.end(), n));
    Kill(n);
    if (after_delete) after_delete(*this);
  }
  void TreeExpand(int id, TreeItem item) override {
    Check(id, item)->expanded = true;
  }

  // "C:(A(B),Windows)": each item's text, its children in brackets.
  std::string Dump(TreeItem item = nullptr) {
    Node* n = Check(kTree, item);
    std::string out;
    for (Node* c : n->children) {
      if (!out.empty()) out += ",";
      out += c->text;
      if (!c->children.empty()) out += "(" + Dump(c) + ")";
    }
    return out;
  }
  // The item reached from the root by texts.
  TreeItem Find(const std::vector<std::string>& texts_down) {
    Node* n = &root_;
    for (const std::string& t : texts_down) {
      Node* next = nullptr;
      for (Node* c : n->children) {
        if (c->text == t) next = c;
      }
      if (!next) return nullptr;
      n = next;
    }
    return n;
  }
  bool Expanded(TreeItem item) { return Check(kTree, item)->expanded; }

 private:
  Node* Check(int id, TreeItem item) {
    EXPECT_EQ(id, kTree);
    if (!item) return &root_;
    Node* n = static_cast<Node*>(item);
    bool known = std::any_of(nodes_.begin(), nodes_.end(),
                             [n](const auto& p) { return p.get() == n; });
    if (!known || dead_.count(n)) {
      ADD_FAILURE() << "tree item used after deletion";
      return &root_;
    }
    return n;
  }
  void Kill(Node* n) {
    dead_[n] = true;
    for (Node* c : n->children) Kill(c);
  }

  Node root_;
  std::vector<std::unique_ptr<Node>> nodes_;
  std::map<Node*, bool> dead_;
};

// A scratch directory standing in for the drives: drive C holds Temp (with
// Sub1 and Sub2), Windows, and a file named file.txt.
class DlgEditDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/bf-dlg-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    env_->drive_root = root_;
    MakeDir("C");
    MakeDir("C/Temp");
    MakeDir("C/Temp/Sub2");
    MakeDir("C/Temp/Sub1");
    MakeDir("C/Windows");
    MakeDir("D");
    MakeDir("D/Data");
    std::FILE* f = std::fopen((root_ + "/C/file.txt").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  void TearDown() override {
    std::string command = "rm -rf '" + root_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  void MakeDir(const std::string& relative) {
    ASSERT_EQ(mkdir((root_ + "/" + relative).c_str(), 0755), 0);
  }
  bool IsDir(const std::string& relative) {
    struct stat st;
    return stat((root_ + "/" + relative).c_str(), &st) == 0 &&
           S_ISDIR(st.st_mode);
  }

  // Runs the dialog; script plays the user's part on the open dialog.
  int RunDialog(std::string* directory, const char* prompt, bool allow,
                std::function<void(DialogHandler&)> script) {
    env_->modal_dialog = [&](ModuleHandle module, int id, WindowHandle owner,
                             DialogHandler* handler) -> std::intptr_t {
      EXPECT_EQ(module, ModuleInstance());
      EXPECT_EQ(id, 104);
      EXPECT_EQ(owner, HostWindow());
      EXPECT_TRUE(handler->OnInitDialog(window_));
      script(*handler);
      return window_.ended ? *window_.ended : -1;
    };
    return DlgEditDirectory::Run(directory, prompt, allow);
  }
  // Types text into the edit field and presses OK.
  void TypeAndOk(DialogHandler& handler, const std::string& text) {
    window_.texts[kEdit] = text;
    EXPECT_TRUE(handler.OnCommand(window_, 1, 0));
  }

  ScopedFakeEnv env_;
  FakeDialogWindow window_;
  std::string root_;
};

TEST_F(DlgEditDirectoryTest, EmptyDirectoryOpensOnDriveC) {
  std::string directory;
  int result = RunDialog(&directory, nullptr, false, [&](DialogHandler& h) {
    EXPECT_EQ(window_.texts[kEdit], "C:\\");
    EXPECT_EQ(window_.texts[kPrompt], "Select a directory.");
    EXPECT_EQ(window_.Dump(), "C:(Temp,Windows)");
    EXPECT_TRUE(window_.Expanded(window_.Find({"C:"})));
    EXPECT_EQ(window_.combo, std::vector<std::string>{"C:\\"});
    EXPECT_EQ(window_.combo_current, 0);
    EXPECT_EQ(window_.wait_cursors, 1);
    EXPECT_EQ(window_.restored_cursors, 1);
    EXPECT_TRUE(h.OnCommand(window_, 2, 0));
  });
  EXPECT_EQ(result, 2);
  EXPECT_EQ(directory, "");
}

TEST_F(DlgEditDirectoryTest, PromptIsCutAt1023Characters) {
  std::string directory = "C:\\Temp";
  std::string prompt(1500, 'p');
  RunDialog(&directory, prompt.c_str(), false,
            [&](DialogHandler& h) { h.OnCommand(window_, 2, 0); });
  EXPECT_EQ(window_.texts[kPrompt], std::string(1023, 'p'));
}

TEST_F(DlgEditDirectoryTest, CentreWindowUsesTheScreenSize) {
  DlgEditDirectory::CentreWindow(window_);
  EXPECT_EQ(window_.moved_to, std::make_pair(250, 200));
  window_.rect = WindowRect{0, 0, 1001, 700};
  DlgEditDirectory::CentreWindow(window_);
  EXPECT_EQ(window_.moved_to, std::make_pair(-100, -50));
}

TEST_F(DlgEditDirectoryTest, TypedDirectoryLosesItsTrailingBackslashes) {
  std::string directory = "C:\\Windows";
  int result = RunDialog(&directory, "Pick", false, [&](DialogHandler& h) {
    EXPECT_EQ(window_.texts[kEdit], "C:\\Windows");
    EXPECT_EQ(window_.Dump(), "C:(Windows)");
    TypeAndOk(h, "C:\\Temp\\\\");
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(directory, "C:\\Temp");
  EXPECT_TRUE(env_->boxes.empty());
}

TEST_F(DlgEditDirectoryTest, InvalidTypedPathsKeepTheDialogOpen) {
  const std::string invalid[] = {
      "",
      "\\Temp",
      "C",
      "Temp",
      ":\\Temp",
      "C:\\a:b",
      "CC:\\Temp",
      "C:\\Temp:",
      "C:" + std::string(1, '\\') + std::string(257, 'x'),
  };
  for (const std::string& text : invalid) {
    SCOPED_TRACE(text);
    env_->boxes.clear();
    window_.ended.reset();
    std::string directory = "C:\\Windows";
    int result = RunDialog(&directory, nullptr, true, [&](DialogHandler& h) {
      TypeAndOk(h, text);
      EXPECT_FALSE(window_.ended.has_value());
      EXPECT_EQ(window_.texts[kEdit], text);
      h.OnCommand(window_, 2, 0);
    });
    EXPECT_EQ(result, 2);
    EXPECT_EQ(directory, "C:\\Windows");
    ASSERT_EQ(env_->boxes.size(), 1u);
    EXPECT_EQ(env_->boxes[0].text, "The directory specified is not valid.");
    EXPECT_EQ(env_->boxes[0].caption, "Unable to create directory.");
    EXPECT_EQ(env_->boxes[0].flags, 0u);
    EXPECT_EQ(env_->boxes[0].owner, window_.Handle());
  }
}

TEST_F(DlgEditDirectoryTest, LongestAcceptedPathHas259Characters) {
  // 259 characters pass the length check (and then do not exist).
  std::string text = "C:\\" + std::string(256, 'x');
  std::string directory = "C:\\";
  RunDialog(&directory, nullptr, false, [&](DialogHandler& h) {
    TypeAndOk(h, text);
    h.OnCommand(window_, 2, 0);
  });
  ASSERT_EQ(env_->boxes.size(), 1u);
  EXPECT_EQ(env_->boxes[0].caption, "Invalid Directory");
}

TEST_F(DlgEditDirectoryTest, RejectedPathsShowTheirBox) {
  struct Case {
    std::string typed;
    bool allow;
    std::string text;
    std::string caption;
  } cases[] = {
      {"C:\\file.txt", false,
       "The specified path is not a directory. Perhaps it is a file of some "
       "sort. You need to specify a directory.",
       "Not a directory"},
      {"C:\\Missing\\", false,
       "The specified directory does not exist. You must specify a directory "
       "which already exists.",
       "Invalid Directory"},
      // A file in the middle of the path: the status call fails with ENOTDIR.
      {"C:\\file.txt\\x", true,
       "Unable to examine the specified directory. Perhaps you do not have the "
       "necessary permissions to access the directory.",
       "Invalid Directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    env_->boxes.clear();
    window_.ended.reset();
    std::string directory = "C:\\Temp";
    RunDialog(&directory, nullptr, c.allow, [&](DialogHandler& h) {
      TypeAndOk(h, c.typed);
      EXPECT_FALSE(window_.ended.has_value());
      h.OnCommand(window_, 2, 0);
    });
    EXPECT_EQ(directory, "C:\\Temp");
    ASSERT_EQ(env_->boxes.size(), 1u);
    EXPECT_EQ(env_->boxes[0].text, c.text);
    EXPECT_EQ(env_->boxes[0].caption, c.caption);
    EXPECT_EQ(env_->boxes[0].flags, 0u);
    EXPECT_EQ(env_->boxes[0].owner, window_.Handle());
  }
}

TEST_F(DlgEditDirectoryTest, MissingDirectoryIsCreatedWhenAllowed) {
  std::string directory = "C:\\Temp";
  int result = RunDialog(&directory, nullptr, true, [&](DialogHandler& h) {
    TypeAndOk(h, "C:\\New\\Deeper\\");
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(directory, "C:\\New\\Deeper");
  EXPECT_TRUE(IsDir("C/New/Deeper"));
  EXPECT_TRUE(env_->boxes.empty());
}

TEST_F(DlgEditDirectoryTest, FailedCreationEndsTheProcess) {
  // Drive Q does not exist: creating Q:\x is a fatal error.
  env_->box_answers = {box::kIdNo};
  std::string directory = "C:\\Temp";
  RunDialog(&directory, nullptr, true, [&](DialogHandler& h) {
    TypeAndOk(h, "Q:\\x");
    h.OnCommand(window_, 2, 0);
  });
  EXPECT_EQ(env_->exit_status, 1);
  EXPECT_EQ(directory, "C:\\Temp");
}

TEST_F(DlgEditDirectoryTest, TreeSelectionShowsThePathAndOkAcceptsIt) {
  std::string directory = "C:\\Temp";
  int result = RunDialog(&directory, nullptr, false, [&](DialogHandler& h) {
    EXPECT_EQ(window_.Dump(), "C:(Temp(Sub1,Sub2))");
    TreeItem c = window_.Find({"C:"});
    TreeItem sub2 = window_.Find({"C:", "Temp", "Sub2"});
    EXPECT_FALSE(h.OnTreeSelectionChanged(window_, kTree, c, sub2));
    EXPECT_EQ(window_.texts[kEdit], "C:\\Temp\\Sub2\\");
    EXPECT_EQ(window_.Dump(), "C:(Temp(Sub2))");
    EXPECT_EQ(window_.wait_cursors, 2);
    EXPECT_EQ(window_.restored_cursors, 2);
    h.OnCommand(window_, 1, 0);
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(directory, "C:\\Temp\\Sub2");
}

TEST_F(DlgEditDirectoryTest, SelectingTheSameItemDoesNothing) {
  std::string directory = "C:\\Temp";
  RunDialog(&directory, nullptr, false, [&](DialogHandler& h) {
    TreeItem temp = window_.Find({"C:", "Temp"});
    window_.texts[kEdit] = "typed";
    h.OnTreeSelectionChanged(window_, kTree, temp, temp);
    EXPECT_EQ(window_.texts[kEdit], "typed");
    EXPECT_EQ(window_.wait_cursors, 1);
    h.OnCommand(window_, 2, 0);
  });
}

TEST_F(DlgEditDirectoryTest, TreeKeepsMatchingItemsCaseSensitively) {
  FakeDialogWindow& w = window_;
  TreeItem c = w.TreeInsertSorted(kTree, nullptr, "C:");
  w.TreeInsertSorted(kTree, nullptr, "D:");
  w.TreeInsertSorted(kTree, c, "temp");
  w.TreeInsertSorted(kTree, c, "Windows");
  DlgEditDirectory::FillDirectoryTree(w, "C://Temp\\");
  EXPECT_EQ(w.Find({"C:"}), c);
  EXPECT_EQ(w.Dump(), "C:(Temp(Sub1,Sub2))");
  EXPECT_EQ(w.texts[kEdit], "C://Temp\\");
}

TEST_F(DlgEditDirectoryTest, DriveListStartsOnDriveC) {
  env_->drives = {"E:\\", "c:\\", "A:\\"};
  DlgEditDirectory::FillDriveList(window_, kCombo);
  EXPECT_EQ(window_.combo, (std::vector<std::string>{"A:\\", "c:\\", "E:\\"}));
  EXPECT_EQ(window_.combo_current, 1);

  FakeDialogWindow other;
  env_->drives = {"D:\\", "A:\\"};
  DlgEditDirectory::FillDriveList(other, kCombo);
  EXPECT_EQ(other.combo.size(), 2u);
  EXPECT_EQ(other.combo_current, -1);
}

TEST_F(DlgEditDirectoryTest, DrivesChangingBetweenTheTwoCallsAddNothing) {
  class GrowingDrives : public FakeEnv {
   public:
    std::uint32_t LogicalDriveStrings(std::uint32_t size,
                                      char* buffer) override {
      if (calls_++ == 1) drives.push_back("Z:\\");
      return FakeEnv::LogicalDriveStrings(size, buffer);
    }

   private:
    int calls_ = 0;
  } env;
  env.drives = {"C:\\"};
  Env* previous = SetCurrentEnv(&env);
  DlgEditDirectory::FillDriveList(window_, kCombo);
  SetCurrentEnv(previous);
  EXPECT_TRUE(window_.combo.empty());
  EXPECT_EQ(window_.combo_current, -1);
}

TEST_F(DlgEditDirectoryTest, ChoosingADriveRebuildsTheTreeForItsRoot) {
  env_->drives = {"C:\\", "D:\\"};
  std::string directory = "C:\\Temp";
  RunDialog(&directory, nullptr, false, [&](DialogHandler& h) {
    window_.combo_current = 1;
    EXPECT_FALSE(h.OnCommand(window_, kCombo, 3));  // other notifications
    EXPECT_EQ(window_.Dump(), "C:(Temp(Sub1,Sub2))");
    EXPECT_TRUE(h.OnCommand(window_, kCombo, 1));  // CBN_SELCHANGE
    EXPECT_EQ(window_.Dump(), "D:(Data)");
    EXPECT_EQ(window_.texts[kEdit], "D:\\");
    h.OnCommand(window_, 1, 0);
  });
  EXPECT_EQ(directory, "D:");
}

TEST_F(DlgEditDirectoryTest, OverlongTreePathsAreRefused) {
  std::string directory = "C:\\Temp";
  RunDialog(&directory, nullptr, false, [&](DialogHandler& h) {
    std::string before = window_.Dump();
    DlgEditDirectory::FillDirectoryTree(window_,
                                        "C:\\" + std::string(257, 'x'));
    EXPECT_EQ(window_.Dump(), before);
    EXPECT_EQ(window_.texts[kEdit], "C:\\Temp");

    // Items whose joined path would not fit in 260 bytes.
    TreeItem temp = window_.Find({"C:", "Temp"});
    TreeItem a = window_.TreeInsertSorted(kTree, temp, std::string(200, 'a'));
    TreeItem b = window_.TreeInsertSorted(kTree, a, std::string(60, 'b'));
    h.OnTreeSelectionChanged(window_, kTree, temp, b);
    EXPECT_EQ(window_.texts[kEdit], "C:\\Temp");
    EXPECT_EQ(window_.wait_cursors, window_.restored_cursors);
    h.OnCommand(window_, 2, 0);
  });
}

TEST_F(DlgEditDirectoryTest, SelectionMovedByARebuildIsIgnored) {
  std::string directory = "C:\\Temp";
  RunDialog(&directory, nullptr, false, [&](DialogHandler& h) {
    // The tree view reports a new selection while items are being deleted.
    window_.after_delete = [&h](FakeDialogWindow& w) {
      TreeItem any = w.TreeFirstChild(kTree, nullptr);
      h.OnTreeSelectionChanged(w, kTree, nullptr, any);
    };
    DlgEditDirectory::FillDirectoryTree(window_, "C:\\Windows");
    EXPECT_EQ(window_.Dump(), "C:(Windows)");
    EXPECT_EQ(window_.texts[kEdit], "C:\\Windows");
    window_.after_delete = nullptr;
    h.OnCommand(window_, 2, 0);
  });
}

TEST_F(DlgEditDirectoryTest, RunInsideRunIsAFatalError) {
  env_->box_answers = {box::kIdNo};
  std::string directory = "C:\\Temp";
  EXPECT_THROW(RunDialog(&directory, nullptr, false,
                         [&](DialogHandler&) {
                           std::string inner;
                           DlgEditDirectory::Run(&inner, nullptr, false);
                         }),
               FakeExit);
  EXPECT_EQ(env_->exit_status, 1);
  ASSERT_EQ(env_->boxes.size(), 1u);
  EXPECT_NE(env_->boxes[0].text.find(
                "Internal Error: DlgEditDirectory::Run called recursively."),
            std::string::npos);
  // The dialog is free again afterwards.
  env_->modal_dialog = [](ModuleHandle, int, WindowHandle,
                          DialogHandler*) -> std::intptr_t { return 2; };
  EXPECT_EQ(DlgEditDirectory::Run(&directory, nullptr, false), 2);
}

TEST_F(DlgEditDirectoryTest, DialogThatCannotBeShownReturnsWhatTheSystemSaid) {
  env_->modal_dialog = [](ModuleHandle, int, WindowHandle,
                          DialogHandler*) -> std::intptr_t { return -1; };
  std::string directory = "C:\\Temp";
  EXPECT_EQ(DlgEditDirectory::Run(&directory, nullptr, false), -1);
  EXPECT_EQ(directory, "C:\\Temp");
}

}  // namespace
}  // namespace brackenfold
