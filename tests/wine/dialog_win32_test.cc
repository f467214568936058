// The directory dialog on real Win32 controls under Wine: template 104 linked
// into this test, DlgEditDirectory::Run driving it, and a thread timer playing
// the user inside the dialog's modal loop (selecting tree items and drives the
// way the mouse would, through the controls' own messages).
#include <windows.h>
// commctrl.h needs the types of windows.h.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/dialog.h"
#include "win32/dlg_edit_directory.h"
#include "win32/host_window.h"

namespace brackenfold {
namespace {

std::function<void(HWND)> user_script;
bool script_ran = false;

void CALLBACK PlayUser(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND dialog = FindWindowA("#32770", "Select Directory");
  if (!dialog) return;  // not open yet: the next tick looks again
  KillTimer(nullptr, timer);
  script_ran = true;
  user_script(dialog);
}

// Runs the dialog on directory; script plays the user once it is open and
// must end it.
int RunDialog(std::string* directory, std::function<void(HWND)> script) {
  user_script = std::move(script);
  script_ran = false;
  UINT_PTR timer = SetTimer(nullptr, 0, 100, PlayUser);
  int result = DlgEditDirectory::Run(directory, "Where shall it go?", false);
  KillTimer(nullptr, timer);
  EXPECT_TRUE(script_ran);
  return result;
}

std::string Text(HWND window) {
  char buffer[1024] = "";
  GetWindowTextA(window, buffer, sizeof buffer);
  return buffer;
}

std::string ItemText(HWND dialog, int id) {
  return Text(GetDlgItem(dialog, id));
}

std::string ClassOf(HWND window) {
  char buffer[64] = "";
  GetClassNameA(window, buffer, sizeof buffer);
  return buffer;
}

HTREEITEM Next(HWND tree, WPARAM relation, HTREEITEM item) {
  return reinterpret_cast<HTREEITEM>(SendMessageA(
      tree, TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(item)));
}

std::string TreeText(HWND tree, HTREEITEM item) {
  char buffer[MAX_PATH] = "";
  TVITEMA tv = {};
  tv.mask = TVIF_TEXT;
  tv.hItem = item;
  tv.pszText = buffer;
  tv.cchTextMax = sizeof buffer;
  SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&tv));
  return buffer;
}

std::vector<std::string> Children(HWND tree, HTREEITEM parent) {
  std::vector<std::string> names;
  for (HTREEITEM i = Next(tree, parent ? TVGN_CHILD : TVGN_ROOT, parent); i;
       i = Next(tree, TVGN_NEXT, i)) {
    names.push_back(TreeText(tree, i));
  }
  return names;
}

HTREEITEM Child(HWND tree, HTREEITEM parent, const std::string& name) {
  for (HTREEITEM i = Next(tree, parent ? TVGN_CHILD : TVGN_ROOT, parent); i;
       i = Next(tree, TVGN_NEXT, i)) {
    if (TreeText(tree, i) == name) return i;
  }
  return nullptr;
}

void Press(HWND dialog, int id) {
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

class DialogWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ModuleInstance() = GetModuleHandleA(nullptr);
    HostWindow() = nullptr;
    for (const char* d :
         {"C:\\bfdlg", "C:\\bfdlg\\Alpha", "C:\\bfdlg\\Alpha\\Inner",
          "C:\\bfdlg\\Alpha\\Other", "C:\\bfdlg\\Beta"}) {
      CreateDirectoryA(d, nullptr);
    }
  }
};

TEST_F(DialogWin32Test, TemplateLaysOutTheControls) {
  std::string directory = "C:\\bfdlg";
  int result = RunDialog(&directory, [](HWND dialog) {
    EXPECT_EQ(Text(dialog), "Select Directory");
    EXPECT_EQ(ItemText(dialog, 1007), "Where shall it go?");
    EXPECT_EQ(ClassOf(GetDlgItem(dialog, 1008)), "Edit");
    EXPECT_EQ(ClassOf(GetDlgItem(dialog, 1013)), "ComboBox");
    EXPECT_EQ(ClassOf(GetDlgItem(dialog, 1015)), "SysTreeView32");
    EXPECT_EQ(ItemText(dialog, IDOK), "OK");
    EXPECT_EQ(ItemText(dialog, IDCANCEL), "Cancel");
    LONG combo = GetWindowLongA(GetDlgItem(dialog, 1013), GWL_STYLE);
    EXPECT_EQ(combo & 0x3, CBS_DROPDOWNLIST);
    EXPECT_TRUE(combo & CBS_SORT);
    EXPECT_TRUE(GetWindowLongA(GetDlgItem(dialog, 1015), GWL_STYLE) &
                TVS_HASLINES);
    // Centred on the screen.
    RECT r;
    GetWindowRect(dialog, &r);
    int width = r.right - r.left, height = r.bottom - r.top;
    EXPECT_EQ(r.left, (GetSystemMetrics(SM_CXSCREEN) - width) / 2);
    EXPECT_EQ(r.top, (GetSystemMetrics(SM_CYSCREEN) - height) / 2);
    Press(dialog, IDCANCEL);
  });
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_EQ(directory, "C:\\bfdlg");
}

TEST_F(DialogWin32Test, TreeShowsThePathAndSelectionFillsTheEditField) {
  std::string directory = "C:\\bfdlg\\Alpha";
  int result = RunDialog(&directory, [](HWND dialog) {
    HWND tree = GetDlgItem(dialog, 1015);
    EXPECT_EQ(ItemText(dialog, 1008), "C:\\bfdlg\\Alpha");
    EXPECT_EQ(Children(tree, nullptr), std::vector<std::string>{"C:"});
    HTREEITEM c = Child(tree, nullptr, "C:");
    EXPECT_EQ(Children(tree, c), std::vector<std::string>{"bfdlg"});
    HTREEITEM alpha = Child(tree, Child(tree, c, "bfdlg"), "Alpha");
    ASSERT_NE(alpha, nullptr);
    EXPECT_EQ(Children(tree, alpha),
              (std::vector<std::string>{"Inner", "Other"}));

    // The user clicks Inner: the tree narrows to it, the edit field shows it.
    HTREEITEM inner = Child(tree, alpha, "Inner");
    SendMessageA(tree, TVM_SELECTITEM, TVGN_CARET,
                 reinterpret_cast<LPARAM>(inner));
    EXPECT_EQ(ItemText(dialog, 1008), "C:\\bfdlg\\Alpha\\Inner\\");
    EXPECT_EQ(Children(tree, alpha), std::vector<std::string>{"Inner"});
    Press(dialog, IDOK);
  });
  EXPECT_EQ(result, IDOK);
  EXPECT_EQ(directory, "C:\\bfdlg\\Alpha\\Inner");
}

TEST_F(DialogWin32Test, ChoosingADriveRebuildsTheTree) {
  std::string directory = "C:\\bfdlg\\Beta";
  int result = RunDialog(&directory, [](HWND dialog) {
    HWND combo = GetDlgItem(dialog, 1013);
    HWND tree = GetDlgItem(dialog, 1015);
    // The list starts on drive C.
    std::string current = ItemText(dialog, 1013);
    ASSERT_FALSE(current.empty());
    EXPECT_TRUE(current[0] == 'c' || current[0] == 'C') << current;

    // Wine maps Z: to the Unix root, where tmp always is.
    int z = static_cast<int>(
        SendMessageA(combo, CB_FINDSTRING, -1, reinterpret_cast<LPARAM>("z")));
    ASSERT_GE(z, 0);
    SendMessageA(combo, CB_SETCURSEL, z, 0);
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(1013, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
    std::string drive = ItemText(dialog, 1013);
    EXPECT_EQ(ItemText(dialog, 1008), drive);
    std::vector<std::string> roots = Children(tree, nullptr);
    ASSERT_EQ(roots.size(), 1u);
    EXPECT_EQ(roots[0] + "\\", drive);
    std::vector<std::string> top =
        Children(tree, Child(tree, nullptr, roots[0]));
    EXPECT_NE(std::find(top.begin(), top.end(), "tmp"), top.end());
    Press(dialog, IDCANCEL);
  });
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_EQ(directory, "C:\\bfdlg\\Beta");
}

// A handler that throws from inside the dialog procedure.
class ThrowingHandler : public DialogHandler {
 public:
  bool OnInitDialog(DialogWindow&) override {
    throw std::runtime_error("from the handler");
  }
  bool OnCommand(DialogWindow&, int, int) override { return false; }
  bool OnTreeSelectionChanged(DialogWindow&, int, TreeItem, TreeItem) override {
    return false;
  }
};

TEST_F(DialogWin32Test, ExceptionFromTheHandlerComesOutOfTheDialog) {
  ThrowingHandler handler;
  EXPECT_THROW(
      RunWin32Dialog(GetModuleHandleA(nullptr), 104, nullptr, &handler),
      std::runtime_error);
}

TEST_F(DialogWin32Test, MissingTemplateIsReportedByTheResult) {
  ThrowingHandler handler;
  EXPECT_EQ(RunWin32Dialog(GetModuleHandleA(nullptr), 999, nullptr, &handler),
            -1);
}

}  // namespace
}  // namespace brackenfold
