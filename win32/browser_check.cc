#include "win32/browser_check.h"

#include "platform/env.h"
#include "win32/host_window.h"

namespace brackenfold {
namespace {

const char kOpening[] =
    "It appears that the following web browers are currently running on your "
    "system:\n\n";
const char kNetscapeLine[] =
    "    + Netscape Navigator or Netscape Communicator\n";
const char kExplorerLine[] = "    + Internet Explorer\n";
const char kClosing[] =
    "\nIt is strongly recommended that you quit all other software running on "
    "this system before continuing installation. It is especially important "
    "to quit all web browsers to ensure proper integration. After quitting all "
    "web browsers, hit OK to continue.";
const char kSecondWarning[] =
    "It still appears that one or more web browsers is running. It is "
    "possible that some other program is being misidentified as a web "
    "browser, and that it is safe to continue. Confirm that all web browsers "
    "have been closed before continuing.";
const char kCaption[] = "Warning";

constexpr int kTitleBufferSize = 1024;

}  // namespace

bool IsInternetExplorerRunning() {
  return CurrentEnv().FindWindowOfClass("IEFrame") != nullptr;
}

bool NetscapeWindowProc(WindowHandle window, void* context) {
  std::string title = CurrentEnv().WindowTitle(window, kTitleBufferSize);
  if (title.find(" - Netscape") != std::string::npos ||
      title.compare(0, 8, "Netscape") == 0) {
    *static_cast<bool*>(context) = true;
    return false;
  }
  return true;
}

bool IsNetscapeRunning() {
  bool found = false;
  CurrentEnv().EnumTopLevelWindows(NetscapeWindowProc, &found);
  return found;
}

bool ShowBrowserWarning(const std::string& text) {
  for (;;) {
    int answer = CurrentEnv().ShowMessageBox(
        HostWindow(), text, kCaption, box::kOkCancel | box::kIconExclamation);
    // Only Cancel leads to the question: a box that could not be shown at all
    // (0) must not keep the installation in this loop for ever.
    if (answer != box::kIdCancel) return true;
    if (ConfirmCancel(HostWindow())) return false;
  }
}

bool CheckRunningBrowsers() {
  bool netscape = IsNetscapeRunning();
  bool explorer = IsInternetExplorerRunning();
  if (!netscape && !explorer) return true;

  std::string text = kOpening;
  if (netscape) text += kNetscapeLine;
  if (explorer) text += kExplorerLine;
  text += kClosing;
  if (!ShowBrowserWarning(text)) return false;

  // The second look asks for Internet Explorer only when no Netscape window
  // is left, and there is no third look: OK here goes on regardless.
  if (!IsNetscapeRunning() && !IsInternetExplorerRunning()) return true;
  return ShowBrowserWarning(kSecondWarning);
}

}  // namespace brackenfold
