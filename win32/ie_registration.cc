#include "win32/ie_registration.h"

#include "platform/env.h"
#include "win32/registry_helper.h"

namespace brackenfold {
namespace {

constexpr char kContentType[] = "application/x-Vantorium-3D-Applet";
constexpr char kPluginTitle[] = "Vantorium, Inc.'s Vantorium3D";

struct ValueStep {
  const char* name;  // "" is the key's default value
  const char* data;  // null: the library path
  const char* failure;
};

struct KeyStep {
  const char* path;
  const char* failure;
  ValueStep values[3];
  int value_count;
};

const KeyStep kKeySteps[] = {
    {"SOFTWARE\\Microsoft\\Internet Explorer\\Plugins\\Extension\\.vtvm",
     "Unable to setup registry correctly (ie_extensions_vtvm).",
     {{"Location", nullptr,
       "Unable to setup registry correctly (ie_extensions_vtvm_location)"},
      {"Content Type", kContentType,
       "Unable to setup registry correctly (ie_extensions_vtvm_ctype)"},
      {"", kPluginTitle,
       "Unable to setup registry correctly (ie_extensions_vtvm_default)"}},
     3},
    {"SOFTWARE\\Microsoft\\Internet Explorer\\Plugins\\Extension\\.kfvm",
     "Unable to setup registry correctly (ie_extensions_kfvm).",
     {{"Location", nullptr,
       "Unable to setup registry correctly (ie_extensions_kfvm_location)"},
      {"Content Type", kContentType,
       "Unable to setup registry correctly (ie_extensions_kfvm_ctype)"},
      {"", kPluginTitle,
       "Unable to setup registry correctly (ie_extensions_kfvm_default)"}},
     3},
    {"SOFTWARE\\Microsoft\\Internet Explorer\\Plugins\\MIME\\"
     "application/x-Vantorium-3D-Applet",
     "Unable to setup registry correctly (ie_mime).",
     {{"Extension", ".vtvm",
       "Unable to setup registry correctly (ie_mime_extension)"}},
     1},
};

}  // namespace

bool WriteInternetExplorerKeys(const std::string& library_path,
                               std::string* detail) {
  *detail = "No information on error available.";
  for (const KeyStep& step : kKeySteps) {
    ScopedRegKey key;
    if (!RegistryHelper::TryCreateKey(kHkeyLocalMachine, step.path,
                                      key.receive(), true)) {
      *detail = step.failure;
      return false;
    }
    for (int i = 0; i < step.value_count; ++i) {
      const ValueStep& value = step.values[i];
      if (!WriteRegistryString(
              key.get(), value.name,
              value.data != nullptr ? value.data : library_path)) {
        *detail = value.failure;
        return false;
      }
    }
  }
  return true;
}

bool RegisterInternetExplorerPlugin(const std::string& library_path) {
  std::string detail;
  if (WriteInternetExplorerKeys(library_path, &detail)) return true;
  Env& env = CurrentEnv();
  const int answer = env.ShowMessageBox(
      nullptr,
      "The installer failed to install the Vantorium3D player for Internet "
      "Explorer. The most likely cause is that Internet Explorer is not "
      "installed, or is an out of date version. If you want to use Vantorium "
      "in Internet Explorer, install a recent version and rerun this setup. "
      "If you are installing the Netscape Plugin, installation will "
      "continue.\n\nWould you like information on the specific problem "
      "encountered?",
      "Unable to set up Internet Explorer",
      box::kYesNo | box::kIconHand | box::kDefaultButton2);
  if (answer == box::kIdYes) {
    env.ShowMessageBox(nullptr, detail, "Details on problem", box::kOk);
  }
  return false;
}

}  // namespace brackenfold
