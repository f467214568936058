// The seam for the one modal dialog of the installer (the directory selection
// dialog). Env::RunModalDialog shows a dialog template and forwards its events
// to a DialogHandler; the handler works the dialog's controls through
// DialogWindow. The Win32 implementation (dialog_win32.cc) sits on
// DialogBoxParamA; FakeEnv drives handlers from a script in native tests.
#ifndef BRACKENFOLD_PLATFORM_DIALOG_H_
#define BRACKENFOLD_PLATFORM_DIALOG_H_

#include <cstdint>
#include <string>

#include "platform/win_types.h"

namespace brackenfold {

using TreeItem = void*;  // HTREEITEM; null is the tree's root level
using CursorHandle = void*;

struct WindowRect {
  int left = 0, top = 0, right = 0, bottom = 0;
};

// The controls of one open dialog. Texts are read into buffers of max_count
// characters, terminator included, as the Win32 calls do.
class DialogWindow {
 public:
  virtual ~DialogWindow() = default;
  virtual WindowHandle Handle() = 0;
  virtual void End(std::intptr_t code) = 0;  // EndDialog

  virtual void SetItemText(int id, const std::string& text) = 0;
  virtual std::string ItemText(int id, int max_count) = 0;

  virtual WindowRect Rect() = 0;              // GetWindowRect
  virtual int ScreenWidth() = 0;              // SM_CXSCREEN
  virtual int ScreenHeight() = 0;             // SM_CYSCREEN
  virtual void MoveTo(int x, int y) = 0;      // SetWindowPos, no size/z
  virtual CursorHandle ShowWaitCursor() = 0;  // SetCursor(IDC_WAIT)
  virtual void RestoreCursor(CursorHandle previous) = 0;

  // Combo box (CB_* messages).
  virtual void ComboAddString(int id, const std::string& text) = 0;
  virtual int ComboFindString(int id, int start, const std::string& text) = 0;
  virtual void ComboSetCurrent(int id, int index) = 0;

  // Tree view (TVM_* messages).
  virtual TreeItem TreeFirstChild(int id, TreeItem parent) = 0;
  virtual TreeItem TreeNextSibling(int id, TreeItem item) = 0;
  virtual TreeItem TreeParent(int id, TreeItem item) = 0;
  virtual std::string TreeItemText(int id, TreeItem item, int max_count) = 0;
  virtual TreeItem TreeInsertSorted(int id, TreeItem parent,
                                    const std::string& text) = 0;
  virtual void TreeDelete(int id, TreeItem item) = 0;
  virtual void TreeExpand(int id, TreeItem item) = 0;
};

// Events of the dialog; each returns what the dialog procedure returns.
class DialogHandler {
 public:
  virtual ~DialogHandler() = default;
  virtual bool OnInitDialog(DialogWindow& dialog) = 0;
  virtual bool OnCommand(DialogWindow& dialog, int control_id,
                         int notify_code) = 0;
  virtual bool OnTreeSelectionChanged(DialogWindow& dialog, int control_id,
                                      TreeItem old_item, TreeItem new_item) = 0;
};

// DialogBoxParamA over handler (dialog_win32.cc); used by the Win32 Env.
std::intptr_t RunWin32Dialog(ModuleHandle module, int resource_id,
                             WindowHandle owner, DialogHandler* handler);

}  // namespace brackenfold

#endif  // BRACKENFOLD_PLATFORM_DIALOG_H_
