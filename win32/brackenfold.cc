#include "win32/brackenfold.h"

#include <cstring>
#include <string>
#include <vector>

#include "component/component_install.h"
#include "platform/env.h"
#include "platform/registry.h"
#include "store/store_locations.h"
#include "win32/blob_list.h"
#include "win32/browser_check.h"
#include "win32/host_window.h"
#include "win32/ie_registration.h"
#include "win32/netscape_helper.h"
#include "win32/plugin_library.h"

namespace brackenfold {

namespace {

const char kComponentErrorCaption[] = "Error";
const char kComponentErrorText[] =
    "Fatal error during install.  Could not install component files.";
const char kPluginCopyCaption[] = "Unable to install the Vantorium plug-in";

// What one call works with; gone when the call returns, on every way out.
struct InstallContext {
  FilePath data_directory;
  FilePath plugin_source;  // the plug-in library the host passed
  FilePath plugin_copy;    // its copy in the data directory
  FilePath components_directory;
  std::vector<FilePath> blob_list;
};

// The data directory as a directory path (with its trailing separator), so
// that names built in it stay in it even when it could not be created.
FilePath InDirectory(const FilePath& directory) {
  if (directory.empty() || directory.EndsWithSeparator()) return directory;
  return FilePath(directory.text() + kPathSeparator);
}

}  // namespace

bool RecordSystemDataPath(const char* data_directory) {
  ScopedRegKey key;
  return key.Create(kHkeyLocalMachine, kProductKey, reg::kAllAccess) ==
             win_error::kSuccess &&
         WriteRegistryString(key.get(), kSystemDataPathValue,
                             data_directory ? data_directory : "");
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

namespace {

// The plug-in library goes into the data directory as NPAXVnt.dll.
// Internet Explorer must never be pointed at a file that is not there: a
// failed copy (an older NPAXVnt.dll held by a running browser) is shown, and
// false ends the call.
bool CopyPluginIntoDataDirectory(InstallContext* context,
                                 const char* plugin_library) {
  context->plugin_source = FilePath(plugin_library);
  context->plugin_copy = InDirectory(context->data_directory);
  context->plugin_copy.AppendFile(kPluginLibraryName);
  int copy_error = 0;
  if (!context->plugin_source.CopyFileTo(context->plugin_copy, true,
                                         &copy_error)) {
    ShowPluginCopyError(context->plugin_source, context->plugin_copy,
                        copy_error);
    return false;
  }
  return true;
}

// Makes components/ in the data directory and installs the components of the
// blob list there, checked against the machine-wide store only; a failure is
// shown, and false ends the call.
bool InstallBlobComponents(InstallContext* context, const char* blob_list) {
  context->components_directory = InDirectory(context->data_directory);
  context->components_directory.AppendDirectory(kComponentsDirectoryName);
  context->components_directory.MakeDirectory();

  ParseBlobList(blob_list, &context->blob_list);

  const InstalledComponents installed =
      SearchInstalledComponents(SearchDirectories(true, SearchListFile()));
  if (!InstallComponents(installed, context->components_directory,
                         context->blob_list)) {
    ShowComponentInstallError();
    return false;
  }
  return true;
}

}  // namespace

int DoInstall(const char* data_directory, const char* blob_list,
              const char* plugin_library) {
  if (!data_directory) data_directory = "";
  if (!plugin_library) plugin_library = "";
  InstallContext context;

  // The stores are found from what an earlier installation recorded, so this
  // comes before this call's data directory is recorded below.
  DetermineStoreLocations();

  // Navigator's Plugins directory is read from the registry now; nothing is
  // shown yet.
  NetscapeHelper netscape;

  // The host's main window owns what is shown from here on.
  WaitForHostWindow();

  // The data directory; a failure to create it shows later, if at all.
  context.data_directory = FilePath(data_directory);
  context.data_directory.EnsureDirectory();

  // Recorded before anything the user can cancel.
  RecordSystemDataPath(data_directory);

  // Running browsers are asked to close; a confirmed cancel ends the call.
  if (!CheckRunningBrowsers()) return -1;

  // The plug-in goes into Navigator's Plugins directory only when Navigator
  // was detected; a confirmed cancel of the directory choice ends the call.
  if (netscape.detected()) {
    if (!netscape.ChoosePluginDirectory()) return -1;
    netscape.CopyPluginLibrary(plugin_library);
  }

  if (!CopyPluginIntoDataDirectory(&context, plugin_library)) return -1;

  // Internet Explorer is pointed at the copy; a failure has been shown to the
  // user there, and the installation goes on.
  RegisterInternetExplorerPlugin(context.plugin_copy.PathText());

  if (!InstallBlobComponents(&context, blob_list)) return -1;
  return 0;
}

}  // namespace brackenfold
