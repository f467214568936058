// DialogBoxParamA behind the DialogHandler seam. The dialog procedure keeps
// one Win32DialogWindow per dialog (in GWLP_USERDATA) and forwards
// WM_INITDIALOG, WM_COMMAND and the tree view's TVN_SELCHANGEDA to the
// handler. No C++ exception may unwind through USER32's frames: one thrown by
// the handler ends the dialog and is rethrown once DialogBoxParamA returns.
#include <windows.h>
// commctrl.h needs the types of windows.h.
#include <commctrl.h>

#include <exception>
#include <memory>

#include "platform/dialog.h"

namespace brackenfold {
namespace {

class Win32DialogWindow : public DialogWindow {
 public:
  explicit Win32DialogWindow(HWND dialog) : dialog_(dialog) {}

  WindowHandle Handle() override { return dialog_; }
  void End(std::intptr_t code) override { EndDialog(dialog_, code); }

  void SetItemText(int id, const std::string& text) override {
    SetDlgItemTextA(dialog_, id, text.c_str());
  }
  std::string ItemText(int id, int max_count) override {
    if (max_count <= 0) return "";
    std::string buffer(static_cast<std::size_t>(max_count), '\0');
    UINT length = GetDlgItemTextA(dialog_, id, &buffer[0], max_count);
    buffer.resize(length < static_cast<UINT>(max_count) ? length : 0);
    return buffer;
  }

  WindowRect Rect() override {
    RECT rect = {};
    GetWindowRect(dialog_, &rect);
    return WindowRect{rect.left, rect.top, rect.right, rect.bottom};
  }
  int ScreenWidth() override { return GetSystemMetrics(SM_CXSCREEN); }
  int ScreenHeight() override { return GetSystemMetrics(SM_CYSCREEN); }
  void MoveTo(int x, int y) override {
    SetWindowPos(dialog_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  }
  CursorHandle ShowWaitCursor() override {
    return SetCursor(
        LoadCursorA(nullptr, MAKEINTRESOURCEA(32514)));  // IDC_WAIT
  }
  void RestoreCursor(CursorHandle previous) override {
    SetCursor(static_cast<HCURSOR>(previous));
  }

  void ComboAddString(int id, const std::string& text) override {
    SendDlgItemMessageA(dialog_, id, CB_ADDSTRING, 0,
                        reinterpret_cast<LPARAM>(text.c_str()));
  }
  int ComboFindString(int id, int start, const std::string& text) override {
    return static_cast<int>(
        SendDlgItemMessageA(dialog_, id, CB_FINDSTRING, start,
                            reinterpret_cast<LPARAM>(text.c_str())));
  }
  void ComboSetCurrent(int id, int index) override {
    SendDlgItemMessageA(dialog_, id, CB_SETCURSEL, index, 0);
  }

  TreeItem TreeFirstChild(int id, TreeItem parent) override {
    return NextItem(id, parent ? TVGN_CHILD : TVGN_ROOT, parent);
  }
  TreeItem TreeNextSibling(int id, TreeItem item) override {
    return NextItem(id, TVGN_NEXT, item);
  }
  TreeItem TreeParent(int id, TreeItem item) override {
    return NextItem(id, TVGN_PARENT, item);
  }
  std::string TreeItemText(int id, TreeItem item, int max_count) override {
    if (max_count <= 0) return "";
    std::string buffer(static_cast<std::size_t>(max_count), '\0');
    TVITEMA tv_item = {};
    tv_item.mask = TVIF_TEXT;
    tv_item.hItem = static_cast<HTREEITEM>(item);
    tv_item.pszText = &buffer[0];
    tv_item.cchTextMax = max_count;
    if (!SendDlgItemMessageA(dialog_, id, TVM_GETITEMA, 0,
                             reinterpret_cast<LPARAM>(&tv_item))) {
      return "";
    }
    buffer[static_cast<std::size_t>(max_count) - 1] = '\0';
    return std::string(buffer.c_str());
  }
  TreeItem TreeInsertSorted(int id, TreeItem parent,
                            const std::string& text) override {
    TVINSERTSTRUCTA insert = {};
    insert.hParent = parent ? static_cast<HTREEITEM>(parent) : TVI_ROOT;
    insert.hInsertAfter = TVI_SORT;
    insert.item.mask = TVIF_TEXT;
    insert.item.pszText = const_cast<char*>(text.c_str());
    return reinterpret_cast<TreeItem>(SendDlgItemMessageA(
        dialog_, id, TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&insert)));
  }
  void TreeDelete(int id, TreeItem item) override {
    SendDlgItemMessageA(dialog_, id, TVM_DELETEITEM, 0,
                        reinterpret_cast<LPARAM>(item));
  }
  void TreeExpand(int id, TreeItem item) override {
    if (!item) return;  // the root level is always shown
    SendDlgItemMessageA(dialog_, id, TVM_EXPAND, TVE_EXPAND,
                        reinterpret_cast<LPARAM>(item));
  }

 private:
  TreeItem NextItem(int id, WPARAM relation, TreeItem item) {
    return reinterpret_cast<TreeItem>(
        SendDlgItemMessageA(dialog_, id, TVM_GETNEXTITEM, relation,
                            reinterpret_cast<LPARAM>(item)));
  }

  HWND dialog_;
};

// Everything one running dialog needs; lives on RunWin32Dialog's stack. The
// window object is made in WM_INITDIALOG, when the dialog's handle is known.
struct DialogContext {
  DialogHandler* handler;
  std::unique_ptr<Win32DialogWindow> window;
  std::exception_ptr error;
};

INT_PTR Dispatch(DialogContext* context, UINT message, WPARAM wparam,
                 LPARAM lparam) {
  DialogWindow& window = *context->window;
  switch (message) {
    case WM_INITDIALOG:
      return context->handler->OnInitDialog(window) ? TRUE : FALSE;
    case WM_COMMAND:
      return context->handler->OnCommand(window, LOWORD(wparam), HIWORD(wparam))
                 ? TRUE
                 : FALSE;
    case WM_NOTIFY: {
      const NMHDR* header = reinterpret_cast<const NMHDR*>(lparam);
      if (header->code != TVN_SELCHANGEDA) return FALSE;
      const NMTREEVIEWA* change = reinterpret_cast<const NMTREEVIEWA*>(lparam);
      return context->handler->OnTreeSelectionChanged(
                 window, static_cast<int>(header->idFrom),
                 change->itemOld.hItem, change->itemNew.hItem)
                 ? TRUE
                 : FALSE;
    }
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK DirectoryDialogProcedure(HWND dialog, UINT message,
                                          WPARAM wparam, LPARAM lparam) {
  DialogContext* context;
  if (message == WM_INITDIALOG) {
    context = reinterpret_cast<DialogContext*>(lparam);
    SetWindowLongPtrA(dialog, GWLP_USERDATA, lparam);
  } else {
    context = reinterpret_cast<DialogContext*>(
        GetWindowLongPtrA(dialog, GWLP_USERDATA));
  }
  // Messages before WM_INITDIALOG (WM_SETFONT) and after a failure go to the
  // default handling.
  if (!context || context->error) return FALSE;
  try {
    if (message == WM_INITDIALOG) {
      context->window = std::make_unique<Win32DialogWindow>(dialog);
    }
    return Dispatch(context, message, wparam, lparam);
  } catch (...) {
    context->error = std::current_exception();
    EndDialog(dialog, -1);
    return TRUE;
  }
}

}  // namespace

std::intptr_t RunWin32Dialog(ModuleHandle module, int resource_id,
                             WindowHandle owner, DialogHandler* handler) {
  // The tree view's window class is registered by comctl32.
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_TREEVIEW_CLASSES};
  if (!InitCommonControlsEx(&controls)) InitCommonControls();

  DialogContext context{handler, nullptr, nullptr};
  INT_PTR result = DialogBoxParamA(
      static_cast<HINSTANCE>(module), MAKEINTRESOURCEA(resource_id),
      static_cast<HWND>(owner), DirectoryDialogProcedure,
      reinterpret_cast<LPARAM>(&context));
  if (context.error) std::rethrow_exception(context.error);
  return result;
}

}  // namespace brackenfold
