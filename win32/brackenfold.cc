#include "win32/brackenfold.h"

#include <cstring>
#include <string>

#include "component/component_install.h"
#include "platform/env.h"
#include "store/store_locations.h"
#include "win32/browser_check.h"
#include "win32/fatal_error.h"
#include "win32/ie_registration.h"
#include "win32/netscape_helper.h"

namespace brackenfold {

namespace {

const char kCancelCaption[] = "Are you sure?";
const char kCancelText[] =
    "If you cancel, the Vantorium plug-in will not be installed and you will "
    "not be able to view Vantorium applets. Are you sure you wish to cancel?";
const char kComponentErrorCaption[] = "Error";
const char kComponentErrorText[] =
    "Fatal error during install.  Could not install component files.";
const char kPluginCopyCaption[] = "Unable to install the Vantorium plug-in";
const std::uint32_t kHostWindowPollMs = 100;

// What one call works with; gone when the call returns, on every way out.
struct InstallContext {
  FilePath data_directory;
  FilePath target;
  FilePath library_source;
  std::vector<FilePath> blob_list;
};

// The data directory as a directory path (with its trailing separator), so
// that names built in it stay in it even when it could not be created.
FilePath InDirectory(const FilePath& directory) {
  if (directory.empty() || directory.EndsWithSeparator()) return directory;
  return FilePath(directory.text() + kPathSeparator);
}

}  // namespace

ModuleHandle& ModuleInstance() {
  static ModuleHandle instance = nullptr;
  return instance;
}

WindowHandle& HostWindow() {
  static WindowHandle window = nullptr;
  return window;
}

bool ConfirmCancel(WindowHandle owner) {
  return CurrentEnv().ShowMessageBox(owner, kCancelText, kCancelCaption,
                                     box::kYesNo | box::kIconQuestion) ==
         box::kIdYes;
}

bool HostWindowEnumProc(WindowHandle window, void* host_window) {
  Env& env = CurrentEnv();
  if (env.WindowTitle(window, kMaxPath) == kHostWindowTitle &&
      env.WindowClassName(window, kMaxPath) == kHostWindowClass) {
    *static_cast<WindowHandle*>(host_window) = window;
    return false;
  }
  return true;
}

void WaitForHostWindow() {
  Env& env = CurrentEnv();
  WindowHandle& host = HostWindow();
  host = nullptr;
  do {
    env.EnumTopLevelWindows(HostWindowEnumProc, &host);
    env.SleepMs(kHostWindowPollMs);
  } while (!host);
}

void ParseBlobList(const char* text, std::vector<FilePath>* list) {
  std::string item;
  for (const char* p = text ? text : "";; ++p) {
    if (*p == ',' || *p == '\0') {
      list->push_back(FilePath(item));
      item.clear();
      if (*p == '\0') break;
    } else {
      item += *p;
    }
  }
}

bool RecordSystemDataPath(const char* data_directory) {
  Env& env = CurrentEnv();
  RegKey key = 0;
  if (env.CreateRegKey(kHkeyLocalMachine, kPlayerRegistryKey, reg::kAllAccess,
                       &key) != win_error::kSuccess) {
    return false;
  }
  const char* value = data_directory ? data_directory : "";
  long result =
      env.SetRegValue(key, kSystemDataPathValue, reg::kSz, value,
                      static_cast<std::uint32_t>(std::strlen(value) + 1));
  env.CloseRegKey(key);
  return result == win_error::kSuccess;
}

void ShowPluginCopyError(const FilePath& source, const FilePath& target,
                         int error) {
  const std::string text =
      "The Vantorium plug-in library could not be copied into the player's "
      "data directory.\n\nFrom: " +
      source.PathText() + "\nTo: " + target.PathText() +
      "\n\nThe system reports: " + std::strerror(error);
  CurrentEnv().ShowMessageBox(nullptr, text, kPluginCopyCaption,
                              box::kOk | box::kIconHand);
}

void ShowComponentInstallError() {
  CurrentEnv().ShowMessageBox(nullptr, kComponentErrorText,
                              kComponentErrorCaption, box::kOk);
}

int DoInstall(const char* data_directory, const char* blob_list,
              const char* plugin_library) {
  if (!data_directory) data_directory = "";
  if (!plugin_library) plugin_library = "";
  InstallContext context;

  // Step 1: before step 5 records this call's data directory, so the stores
  // are found from what an earlier installation recorded.
  DetermineStoreLocations();

  // Step 2: Navigator's Plugins directory, read from the registry now;
  // nothing is shown yet.
  NetscapeHelper netscape;

  // Step 3: the host's main window owns what is shown from here on.
  WaitForHostWindow();

  // Step 4: the data directory; a failure shows later, if at all.
  context.data_directory = FilePath(data_directory);
  context.data_directory.EnsureDirectory();

  // Step 5: recorded before anything the user can cancel.
  RecordSystemDataPath(data_directory);

  // Step 6: running browsers; a confirmed cancel ends the call.
  if (!CheckRunningBrowsers()) return -1;

  // Step 7: the plug-in into Navigator's Plugins directory, only when
  // Navigator was detected; a confirmed cancel ends the call.
  if (netscape.detected()) {
    if (!netscape.ChoosePluginDirectory()) return -1;
    netscape.CopyPluginLibrary(plugin_library);
  }

  // Steps 8-10: the plug-in library into the data directory as NPAXVnt.dll.
  context.library_source = FilePath(plugin_library);
  context.target = InDirectory(context.data_directory);
  context.target.AppendFile(kPluginLibraryName);
  // Internet Explorer must never be pointed at a file that is not there: a
  // failed copy (an older NPAXVnt.dll held by a running browser) ends the call.
  int copy_error = 0;
  if (!context.library_source.CopyFileTo(context.target, true, &copy_error)) {
    ShowPluginCopyError(context.library_source, context.target, copy_error);
    return -1;
  }

  // Step 11: a failure has been shown to the user there; we go on.
  RegisterInternetExplorerPlugin(context.target.PathText());

  // Step 12: the components directory.
  context.target = InDirectory(context.data_directory);
  context.target.AppendDirectory(kComponentsDirectoryName);
  context.target.MakeDirectory();

  // Step 13.
  ParseBlobList(blob_list, &context.blob_list);

  // Step 14: the components, checked against the machine-wide store only.
  const InstalledComponents installed =
      SearchInstalledComponents(SearchDirectories(true, SearchListFile()));
  if (!InstallComponents(installed, context.target, context.blob_list)) {
    ShowComponentInstallError();
    return -1;
  }
  return 0;
}

}  // namespace brackenfold

// ---------------------------------------------------------------------------
// Directory path creation: the directories that the user names (Netscape's
// Plugins directory, the directory dialog's choice). Every failure is fatal,
// and the reports name this module as their source.

namespace brackenfold {

void CreateDirectoryPath(const std::string& path) {
  const std::string invalid =
      "Unable to create directory '" + path + "' because the path is invalid.";
  std::string text = path;
  if (!text.empty() && text.back() == '\\') text.pop_back();
  // Cutting a longer path would create a directory of another name.
  if (text.size() > static_cast<std::size_t>(kMaxPath)) BF_FATAL_ERROR(invalid);
  char buffer[kMaxPath + 1];
  std::memcpy(buffer, text.c_str(), text.size() + 1);

  const bool network = buffer[0] == '\\' && buffer[1] == '\\';
  // The leading components (drive, or server and share) are never created.
  std::string directory;
  const char* first = std::strtok(buffer, "\\/");
  if (network) {
    const char* share =
        first != nullptr ? std::strtok(nullptr, "\\/") : nullptr;
    if (share == nullptr) BF_FATAL_ERROR(invalid);
    directory = std::string("\\\\") + first + "\\" + share;
  } else {
    if (first == nullptr) BF_FATAL_ERROR(invalid);
    directory = first;
  }
  for (const char* part = std::strtok(nullptr, "\\/"); part != nullptr;
       part = std::strtok(nullptr, "\\/")) {
    directory += '\\';
    directory += part;
    CreateOneDirectory(directory);
  }
}

void CreateOneDirectory(const std::string& directory) {
  // Worked on as a MAX_PATH text: longer ones are cut.
  std::string buffer = directory.substr(0, kMaxPath);
  while (!buffer.empty() && buffer.back() == '\\') buffer.pop_back();

  Env& env = CurrentEnv();
  const PathStatus status = env.Stat(buffer);
  if (status.error == 0) {
    if (status.is_directory) return;
    BF_FATAL_ERROR("Unable to create directory '" + buffer +
                   "' because a file with that name already exists.");
  }
  if (status.error != kErrnoNoEntry) {
    BF_FATAL_ERROR("Unable to determine if the directory '" + buffer +
                   "' already exists.");
  }
  if (!env.NewDirectory(buffer)) {
    BF_FATAL_SYSTEM_ERROR("Unable to create the directory '" + buffer + "'.",
                          env.LastError());
  }
}

}  // namespace brackenfold
