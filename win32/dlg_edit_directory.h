// DlgEditDirectory: the modal "Select Directory" dialog (resource 104) in
// which the user names a directory by typing it, picking a drive or walking a
// tree. Only a path that names an existing directory (or, when the caller
// allows it, one that could be created) ends the dialog with IDOK. At most one
// dialog runs at a time; its state is process-wide. Paths in the dialog hold
// fewer than 260 characters: longer ones are refused, never cut to something
// else.
#ifndef BRACKENFOLD_WIN32_DLG_EDIT_DIRECTORY_H_
#define BRACKENFOLD_WIN32_DLG_EDIT_DIRECTORY_H_

#include <string>

#include "platform/dialog.h"

namespace brackenfold {

class DlgEditDirectory {
 public:
  static constexpr int kResourceId = 104;
  static constexpr int kPromptId = 1007;
  static constexpr int kEditId = 1008;
  static constexpr int kDriveComboId = 1013;
  static constexpr int kTreeId = 1015;

  // Shows the dialog on *directory ("C:\" when empty) with prompt above the
  // edit field (null: "Select a directory."). Returns the end code: IDOK (1)
  // after *directory was replaced by the accepted directory, IDCANCEL (2), or
  // what DialogBoxParamA returns when the dialog cannot be shown. Called while
  // a dialog is open, it ends the process through FatalError.
  static int Run(std::string* directory, const char* prompt,
                 bool allow_creation);

  // The operations of the dialog, exposed for DirectoryDialogProc and tests.
  static void CentreWindow(DialogWindow& window);
  static void FillDriveList(DialogWindow& dialog, int combo);
  static void FillDirectoryTree(DialogWindow& dialog, const std::string& path);
  static void OnTreeSelection(DialogWindow& dialog, TreeItem old_item,
                              TreeItem new_item);
  static void OnDirectoryOk(DialogWindow& dialog);
};

// The dialog procedure: forwards the dialog's events to the operations above.
class DirectoryDialogProc : public DialogHandler {
 public:
  bool OnInitDialog(DialogWindow& dialog) override;
  bool OnCommand(DialogWindow& dialog, int control_id,
                 int notify_code) override;
  bool OnTreeSelectionChanged(DialogWindow& dialog, int control_id,
                              TreeItem old_item, TreeItem new_item) override;
};

}  // namespace brackenfold

#endif  // BRACKENFOLD_WIN32_DLG_EDIT_DIRECTORY_H_
