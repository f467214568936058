// The directory dialog driven through an in-memory DialogWindow, on scratch
// directories standing in for the drives.
#include "win32/dlg_edit_directory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <deque>
#include <functional>
#include <map>
#include <set>

#include "tests/component/component_test_support.h"

namespace brackenfold {
namespace {

constexpr int kEdit = DlgEditDirectory::kEditId;
constexpr int kPrompt = DlgEditDirectory::kPromptId;
constexpr int kTree = DlgEditDirectory::kTreeId;

// The controls in memory. Tree items stay allocated after their deletion, so
// that one used afterwards (or below a deleted one) is seen.
class FakeDialogWindow : public DialogWindow {
 public:
  struct Node {
    std::string text;
    Node* parent;
    std::size_t index;
    bool expanded = false, deleted = false;
  };
  std::map<int, std::string> texts;
  std::intptr_t ended = 0;
  std::pair<int, int> moved_to;
  int restored = 0;  // wait cursors taken back
  std::vector<std::string> combo;
  int current = -1;
  std::function<void()> after_delete;  // a tree view moves its selection

  WindowHandle Handle() override { return this; }
  void End(std::intptr_t code) override { ended = code; }
  void SetItemText(int id, const std::string& s) override { texts[id] = s; }
  std::string ItemText(int id, int max) override {  // the edit or the combo
    return (id == kEdit ? texts[id] : combo.at(current)).substr(0, Cut(max));
  }
  WindowRect Rect() override { return {0, 0, 1001, 700}; }
  int ScreenWidth() override { return 800; }
  int ScreenHeight() override { return 600; }
  void MoveTo(int x, int y) override { moved_to = {x, y}; }
  CursorHandle ShowWaitCursor() override { return &restored; }
  void RestoreCursor(CursorHandle c) override { restored += c == &restored; }
  void ComboAddString(int, const std::string& s) override {
    combo.push_back(s);
  }
  int ComboFindString(int, int, const std::string& text) override {
    return text == "C" ? 0 : -1;  // "C:\\" comes first, found by its case
  }
  void ComboSetCurrent(int, int index) override { current = index; }
  TreeItem TreeFirstChild(int, TreeItem parent) override {
    return Next(At(parent), 0);
  }
  TreeItem TreeNextSibling(int, TreeItem item) override {
    return Next(At(item)->parent, At(item)->index + 1);
  }
  TreeItem TreeParent(int, TreeItem item) override { return At(item)->parent; }
  std::string TreeItemText(int, TreeItem item, int max) override {
    return At(item)->text.substr(0, Cut(max));
  }
  TreeItem TreeInsertSorted(int, TreeItem parent,
                            const std::string& text) override {
    return &nodes.emplace_back(Node{text, At(parent), nodes.size()});
  }
  void TreeDelete(int, TreeItem item) override {
    At(item)->deleted = true;
    if (after_delete) after_delete();
  }
  void TreeExpand(int, TreeItem item) override {
    if (Node* n = At(item)) n->expanded = true;
  }

  // "C:+(Temp,Windows)": the living items, sorted, "+" when expanded, their
  // children in brackets.
  std::string Dump(Node* parent = nullptr) {
    std::set<std::string> items;
    for (Node& n : nodes) {
      if (n.parent != parent || n.deleted) continue;
      const std::string children = Dump(&n);
      items.insert(n.text + (n.expanded ? "+" : "") +
                   (children.empty() ? "" : "(" + children + ")"));
    }
    std::string out;
    for (const std::string& item : items)
      out += (out.empty() ? "" : ",") + item;
    return out;
  }
  std::deque<Node> nodes;

 private:
  static std::size_t Cut(int max) { return static_cast<std::size_t>(max - 1); }
  Node* At(TreeItem item) {
    for (Node* n = static_cast<Node*>(item); n; n = n->parent) {
      EXPECT_FALSE(n->deleted) << "tree item used after its deletion";
    }
    return static_cast<Node*>(item);
  }
  TreeItem Next(Node* parent, std::size_t from) {
    for (std::size_t i = from; i < nodes.size(); ++i) {
      if (nodes[i].parent == parent && !nodes[i].deleted) return &nodes[i];
    }
    return nullptr;
  }
};

// Drive C holds Temp (Sub), Windows and file.txt; drive D holds Data.
class DlgEditDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_->drive_root = scratch_.path();
    env_->drives = {"C:\\", "D:\\"};
    for (const char* d :
         {"C", "C/Temp", "C/Temp/Sub", "C/Windows", "D", "D/Data"}) {
      ASSERT_EQ(mkdir(scratch_.Join(d).c_str(), 0755), 0);
    }
    ASSERT_TRUE(WriteFileBytes(scratch_.Join("C/file.txt"), ""));
  }
  // Every dialog shown runs script, which plays the user's part.
  void Script(std::function<void(DialogHandler&)> script) {
    env_->modal_dialog = [this, script](ModuleHandle, int, WindowHandle,
                                        DialogHandler* h) {
      window_ = FakeDialogWindow();
      EXPECT_TRUE(h->OnInitDialog(window_));
      script(*h);
      return window_.ended;
    };
  }

  ScopedFakeEnv env_;
  ScratchDirectory scratch_;
  FakeDialogWindow window_;
};

TEST_F(DlgEditDirectoryTest, OkAcceptsOnlyAnExistingOrCreatedDirectory) {
  const char kInvalid[] = "The directory specified is not valid.";
  const std::string deep = "C:\\" + std::string(127, 'x') + "\\";
  const struct {
    std::string typed;
    bool allow;
    std::string box;  // how the box shown begins; "": accepted
  } cases[] = {
      {"C:\\Temp\\\\", false, ""},
      {"C:\\New\\Deeper\\", true, ""},
      {"C", true, kInvalid},
      {"C:\\a:b", true, kInvalid},
      {deep + std::string(129, 'x'), true, kInvalid},  // 260 characters
      {deep + std::string(128, 'x'), false, "The specified directory does not"},
      {"C:\\file.txt", false, "The specified path is not a directory."},
      {"C:\\file.txt\\x", true, "Unable to examine the specified"},
      {"Q:\\x", true, "Unable to create the specified"},  // a fatal error
  };
  for (const auto& c : cases) {
    std::string directory = "C:\\Windows";
    env_->boxes.clear();
    Script([&](DialogHandler& h) {
      window_.texts[kEdit] = c.typed;
      EXPECT_TRUE(h.OnCommand(window_, 1, 0));
      if (!window_.ended) h.OnCommand(window_, 2, 0);
    });
    EXPECT_EQ(DlgEditDirectory::Run(&directory, "", c.allow),
              c.box.empty() ? 1 : 2);
    std::string box;  // the last one, shown by the dialog
    if (!env_->boxes.empty()) {
      const RecordedBox& b = env_->boxes.back();
      box = b.owner == &window_ && !b.flags ? b.text.substr(0, c.box.size())
                                            : "?";
    }
    EXPECT_EQ(box, c.box) << c.typed;
    std::string typed = c.typed.substr(0, c.typed.find_last_not_of('\\') + 1);
    EXPECT_EQ(directory, c.box.empty() ? typed : "C:\\Windows");
  }
  EXPECT_EQ(env_->exit_status, 1);
  EXPECT_TRUE(PathExists(scratch_.Join("C/New/Deeper")));
}

TEST_F(DlgEditDirectoryTest, OpensCentredAndRebuildsTheTreeOnEveryChoice) {
  Script([&](DialogHandler& h) {
    EXPECT_EQ(window_.texts[kPrompt], "Select a directory.");
    EXPECT_EQ(window_.combo, (std::vector<std::string>{"C:\\", "D:\\"}));
    EXPECT_EQ(window_.current, 0);
    EXPECT_EQ(window_.moved_to, std::make_pair(-100, -50));
    EXPECT_EQ(window_.Dump(), "C:+(Temp+(Sub))");
    auto* c = window_.TreeFirstChild(kTree, nullptr);
    auto* temp = window_.TreeFirstChild(kTree, c);
    auto* sub = window_.TreeFirstChild(kTree, temp);
    window_.texts[kEdit] = "typed";
    h.OnTreeSelectionChanged(window_, kTree, temp, temp);
    h.OnTreeSelectionChanged(window_, kTree, temp, nullptr);
    h.OnTreeSelectionChanged(window_, kEdit, c, sub);
    EXPECT_EQ(window_.texts[kEdit], "typed");
    EXPECT_FALSE(h.OnTreeSelectionChanged(window_, kTree, c, sub));
    EXPECT_EQ(window_.texts[kEdit], "C:\\Temp\\Sub\\");
    EXPECT_EQ(window_.Dump(), "C:+(Temp+(Sub+))");
    EXPECT_EQ(window_.restored, 2);
    // Paths of 260 characters and more are refused.
    auto* a = window_.TreeInsertSorted(kTree, sub, std::string(200, 'a'));
    h.OnTreeSelectionChanged(
        window_, kTree, c,
        window_.TreeInsertSorted(kTree, a, std::string(46, 'b')));
    DlgEditDirectory::FillDirectoryTree(window_,
                                        "C:\\" + std::string(257, 'x'));
    EXPECT_EQ(window_.texts[kEdit], "C:\\Temp\\Sub\\");
    EXPECT_EQ(window_.restored, 3);
    window_.current = 1;
    EXPECT_FALSE(h.OnCommand(window_, DlgEditDirectory::kDriveComboId, 3));
    EXPECT_TRUE(h.OnCommand(window_, DlgEditDirectory::kDriveComboId, 1));
    EXPECT_EQ(window_.Dump(), "D:+(Data)");
    h.OnCommand(window_, 1, 0);
  });
  std::string directory = "C:\\Temp";
  EXPECT_EQ(DlgEditDirectory::Run(&directory, nullptr, false), 1);
  EXPECT_EQ(directory, "D:");
  directory = "";  // cancelled on drive C; a second dialog meanwhile is fatal
  const std::string prompt(1500, 'p');
  Script([&](DialogHandler& h) {
    EXPECT_EQ(window_.texts[kEdit], "C:\\");
    EXPECT_EQ(window_.texts[kPrompt], prompt.substr(0, 1023));
    EXPECT_THROW(DlgEditDirectory::Run(&directory, "", false), FakeExit);
    EXPECT_TRUE(h.OnCommand(window_, 2, 0));
  });
  env_->box_answers = {box::kIdNo};
  EXPECT_EQ(DlgEditDirectory::Run(&directory, prompt.c_str(), false), 2);
  EXPECT_EQ(directory, "");
  env_->modal_dialog = nullptr;  // the dialog could not be shown
  EXPECT_EQ(DlgEditDirectory::Run(&directory, nullptr, false), -1);
  FakeDialogWindow w;  // a rebuild keeps the matching items only
  auto* c = w.TreeInsertSorted(kTree, nullptr, "C:");
  w.TreeInsertSorted(kTree, nullptr, "D:");
  w.TreeInsertSorted(kTree, c, "temp");  // another letter case: not kept
  auto* temp = w.TreeInsertSorted(kTree, c, "Temp");
  w.TreeInsertSorted(kTree, temp, "Old");  // not in the directory any more
  DirectoryDialogProc proc;
  w.after_delete = [&] { proc.OnTreeSelectionChanged(w, kTree, nullptr, c); };
  DlgEditDirectory::FillDirectoryTree(w, "C://Temp\\");
  EXPECT_EQ(w.TreeFirstChild(kTree, w.TreeFirstChild(kTree, nullptr)), temp);
  EXPECT_EQ(w.Dump(), "C:+(Temp+(Sub))");
  EXPECT_EQ(w.texts[kEdit], "C://Temp\\");
}

}  // namespace
}  // namespace brackenfold
