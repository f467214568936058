// NetscapeHelper: finds Netscape Navigator's Plugins directory from the
// registry (read once, at construction; nothing is written there), lets the
// user confirm or change it in the directory dialog, and copies the plug-in
// library into it as NPAXVnt.dll. A directory that cannot be created or a copy
// that fails ends the process through a fatal error report.
#ifndef BRACKENFOLD_WIN32_NETSCAPE_HELPER_H_
#define BRACKENFOLD_WIN32_NETSCAPE_HELPER_H_

#include <string>

namespace brackenfold {

class NetscapeHelper {
 public:
  NetscapeHelper();

  // True when the registry gave an installation directory; the detected
  // directory is then its Program\Plugins subdirectory.
  bool DetectPluginDirectory();
  // "Install Directory" under HKCU "Software\Netscape\Netscape Navigator\Main".
  bool ReadUserInstallDirectory();
  // "Install Directory" under HKLM "Software\Netscape\Netscape Navigator",
  // in the subkey with the highest version number, then "Main".
  bool ReadNewestInstallDirectory();

  // Shows the dialog on the chosen directory until the user accepts one
  // (true) or cancels and confirms the cancel (false).
  bool ChoosePluginDirectory();
  // Creates the chosen directory and copies source into it as NPAXVnt.dll,
  // replacing any older copy. Returns only on success.
  void CopyPluginLibrary(const std::string& source);

  // directory, a backslash unless it already ends with one, then name.
  static std::string JoinPath(const std::string& directory,
                              const std::string& name);

  const std::string& detected_directory() const { return detected_directory_; }
  const std::string& chosen_directory() const { return chosen_directory_; }
  bool detected() const { return detected_; }

 private:
  std::string detected_directory_;
  std::string chosen_directory_;
  bool detected_ = false;
};

}  // namespace brackenfold

#endif  // BRACKENFOLD_WIN32_NETSCAPE_HELPER_H_
