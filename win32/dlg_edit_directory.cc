#include "win32/dlg_edit_directory.h"

#include <cstdint>
#include <vector>

#include "platform/env.h"
#include "win32/directory_path.h"
#include "win32/fatal_error.h"
#include "win32/host_window.h"

namespace brackenfold {
namespace {

constexpr int kIdCancel = 2;
constexpr int kComboSelectionChanged = 1;  // CBN_SELCHANGE
constexpr std::size_t kPromptMax = 1023;

const char kInvalidPath[] = "The directory specified is not valid.";
const char kUnableToCreateCaption[] = "Unable to create directory.";
const char kInvalidDirectoryCaption[] = "Invalid Directory";

// State of the one dialog there can be; it lives as long as the library.
struct DialogState {
  bool running = false;
  bool allow_creation = false;
  std::string directory;
  std::string prompt;
  // True while FillDirectoryTree rebuilds the tree: the tree view moves its
  // selection when a selected item is deleted, and that notification must not
  // start a second rebuild over items the first one is walking.
  bool filling = false;
};

DialogState& State() {
  static DialogState state;
  return state;
}

class ScopedFlag {
 public:
  explicit ScopedFlag(bool* flag) : flag_(flag), previous_(*flag) {
    *flag_ = true;
  }
  ~ScopedFlag() { *flag_ = previous_; }
  ScopedFlag(const ScopedFlag&) = delete;
  ScopedFlag& operator=(const ScopedFlag&) = delete;

 private:
  bool* flag_;
  bool previous_;
};

// Splits at backslashes and slashes; runs of separators count as one and
// empty components never appear (strtok's reading of "\\/").
std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> components;
  std::string current;
  for (char c : path) {
    if (c == '\\' || c == '/') {
      if (!current.empty()) components.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) components.push_back(current);
  return components;
}

void ShowBox(DialogWindow& dialog, const char* text, const char* caption) {
  CurrentEnv().ShowMessageBox(dialog.Handle(), text, caption, box::kOk);
}

}  // namespace

int DlgEditDirectory::Run(std::string* directory, const char* prompt,
                          bool allow_creation) {
  DialogState& state = State();
  if (state.running) {
    FatalError("Internal Error: DlgEditDirectory::Run called recursively.",
               __FILE__, __LINE__);
  }
  ScopedFlag running(&state.running);
  state.allow_creation = allow_creation;
  state.directory = directory->empty() ? "C:\\" : *directory;
  state.prompt = std::string(prompt ? prompt : "Select a directory.")
                     .substr(0, kPromptMax);

  DirectoryDialogProc proc;
  std::intptr_t result = CurrentEnv().RunModalDialog(
      ModuleInstance(), kResourceId, HostWindow(), &proc);
  if (result == box::kIdOk) *directory = state.directory;
  return static_cast<int>(result);
}

void DlgEditDirectory::CentreWindow(DialogWindow& window) {
  WindowRect rect = window.Rect();
  int width = rect.right - rect.left;
  int height = rect.bottom - rect.top;
  window.MoveTo((window.ScreenWidth() - width) / 2,
                (window.ScreenHeight() - height) / 2);
}

void DlgEditDirectory::FillDriveList(DialogWindow& dialog, int combo) {
  Env& env = CurrentEnv();
  std::uint32_t needed = env.LogicalDriveStrings(0, nullptr);
  std::vector<char> buffer(static_cast<std::size_t>(needed) + 1, '\0');
  std::uint32_t length = env.LogicalDriveStrings(
      static_cast<std::uint32_t>(buffer.size()), buffer.data());
  if (length > needed) return;  // the drives changed between the two calls

  // The buffer was zeroed one byte beyond what the system may fill, so the
  // walk always meets the empty string that ends the list.
  for (std::size_t at = 0; at < length && buffer[at] != '\0';) {
    std::string drive(&buffer[at]);
    dialog.ComboAddString(combo, drive);
    at += drive.size() + 1;
  }

  int index = dialog.ComboFindString(combo, -1, "c");
  if (index < 0) index = dialog.ComboFindString(combo, -1, "C");
  if (index >= 0) dialog.ComboSetCurrent(combo, index);
}

void DlgEditDirectory::FillDirectoryTree(DialogWindow& dialog,
                                         const std::string& path) {
  // The dialog's path buffers hold kMaxPath bytes with the terminator; a
  // longer path is refused rather than cut into a different directory.
  if (path.size() >= static_cast<std::size_t>(kMaxPath)) return;
  ScopedFlag filling(&State().filling);

  TreeItem parent = nullptr;
  for (const std::string& component : SplitPath(path)) {
    TreeItem kept = nullptr;
    for (TreeItem child = dialog.TreeFirstChild(kTreeId, parent); child;) {
      TreeItem next = dialog.TreeNextSibling(kTreeId, child);
      if (dialog.TreeItemText(kTreeId, child, kMaxPath) == component) {
        kept = child;
      } else {
        dialog.TreeDelete(kTreeId, child);
      }
      child = next;
    }
    if (!kept) kept = dialog.TreeInsertSorted(kTreeId, parent, component);
    dialog.TreeExpand(kTreeId, parent);
    parent = kept;
  }

  for (TreeItem child = dialog.TreeFirstChild(kTreeId, parent); child;) {
    TreeItem next = dialog.TreeNextSibling(kTreeId, child);
    dialog.TreeDelete(kTreeId, child);
    child = next;
  }

  std::string pattern = path;
  if (pattern.empty() || pattern.back() != '\\') pattern += '\\';
  pattern += "*.*";
  for (const DirectoryEntry& entry : CurrentEnv().FindFiles(pattern)) {
    if (!entry.is_directory || entry.name == "." || entry.name == "..") {
      continue;
    }
    dialog.TreeInsertSorted(kTreeId, parent, entry.name);
  }
  dialog.TreeExpand(kTreeId, parent);
  dialog.SetItemText(kEditId, path);
}

void DlgEditDirectory::OnTreeSelection(DialogWindow& dialog, TreeItem old_item,
                                       TreeItem new_item) {
  if (old_item == new_item || new_item == nullptr || State().filling) return;
  CursorHandle previous = dialog.ShowWaitCursor();
  std::string path;
  bool fits = true;
  for (TreeItem item = new_item; item;
       item = dialog.TreeParent(kTreeId, item)) {
    path = dialog.TreeItemText(kTreeId, item, kMaxPath) + "\\" + path;
    if (path.size() >= static_cast<std::size_t>(kMaxPath)) {
      fits = false;
      break;
    }
  }
  if (fits) FillDirectoryTree(dialog, path);
  dialog.RestoreCursor(previous);
}

void DlgEditDirectory::OnDirectoryOk(DialogWindow& dialog) {
  // Read one byte more than a path may hold, so that a longer text is seen
  // and refused instead of being cut into another directory's name.
  std::string text = dialog.ItemText(kEditId, kMaxPath + 1);
  if (text.empty() || text.size() >= static_cast<std::size_t>(kMaxPath) ||
      text.find(':') != 1 || text.find(':', 2) != std::string::npos) {
    ShowBox(dialog, kInvalidPath, kUnableToCreateCaption);
    return;
  }
  while (!text.empty() && text.back() == '\\') text.pop_back();

  DialogState& state = State();
  PathStatus status = CurrentEnv().Stat(text);
  if (status.error == 0) {
    if (!status.is_directory) {
      ShowBox(dialog,
              "The specified path is not a directory. Perhaps it is a file of "
              "some sort. You need to specify a directory.",
              "Not a directory");
      return;
    }
  } else if (status.error != kErrnoNoEntry) {
    ShowBox(dialog,
            "Unable to examine the specified directory. Perhaps you do not "
            "have the necessary permissions to access the directory.",
            kInvalidDirectoryCaption);
    return;
  } else if (!state.allow_creation) {
    ShowBox(dialog,
            "The specified directory does not exist. You must specify a "
            "directory which already exists.",
            kInvalidDirectoryCaption);
    return;
  } else {
    try {
      CreateDirectoryPath(text);
    } catch (...) {
      ShowBox(dialog,
              "Unable to create the specified directory. Perhaps you do not "
              "have the necessary permissions to do so. If possible, correct "
              "the situation, or select a different directory.",
              kUnableToCreateCaption);
      return;
    }
  }
  state.directory = text;
  dialog.End(box::kIdOk);
}

bool DirectoryDialogProc::OnInitDialog(DialogWindow& dialog) {
  DialogState& state = State();
  DlgEditDirectory::CentreWindow(dialog);
  CursorHandle previous = dialog.ShowWaitCursor();
  dialog.SetItemText(DlgEditDirectory::kEditId, state.directory);
  dialog.SetItemText(DlgEditDirectory::kPromptId, state.prompt);
  DlgEditDirectory::FillDirectoryTree(dialog, state.directory);
  DlgEditDirectory::FillDriveList(dialog, DlgEditDirectory::kDriveComboId);
  dialog.RestoreCursor(previous);
  return true;
}

bool DirectoryDialogProc::OnCommand(DialogWindow& dialog, int control_id,
                                    int notify_code) {
  if (control_id == box::kIdOk) {
    DlgEditDirectory::OnDirectoryOk(dialog);
    return true;
  }
  if (control_id == kIdCancel) {
    dialog.End(kIdCancel);
    return true;
  }
  if (control_id == DlgEditDirectory::kDriveComboId &&
      notify_code == kComboSelectionChanged) {
    std::string drive =
        dialog.ItemText(DlgEditDirectory::kDriveComboId, kMaxPath);
    DlgEditDirectory::FillDirectoryTree(dialog, drive);
    return true;
  }
  return false;
}

bool DirectoryDialogProc::OnTreeSelectionChanged(DialogWindow& dialog,
                                                 int control_id,
                                                 TreeItem old_item,
                                                 TreeItem new_item) {
  if (control_id == DlgEditDirectory::kTreeId) {
    DlgEditDirectory::OnTreeSelection(dialog, old_item, new_item);
  }
  return false;
}

}  // namespace brackenfold
