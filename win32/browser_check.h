// The running-browser warning given before the plug-in is installed. Browsers
// are recognised by their top-level windows: Internet Explorer by the window
// class "IEFrame", Netscape by a title that begins with "Netscape" or contains
// " - Netscape". Every box is modal and owned by HostWindow(); a cancel only
// stands after ConfirmCancel. Nothing here fails: finding nothing means no
// browser is running.
#ifndef BRACKENFOLD_WIN32_BROWSER_CHECK_H_
#define BRACKENFOLD_WIN32_BROWSER_CHECK_H_

#include <string>

#include "platform/win_types.h"

namespace brackenfold {

// True to go on with the installation; false when the user cancelled and
// confirmed the cancel.
bool CheckRunningBrowsers();

bool IsInternetExplorerRunning();
bool IsNetscapeRunning();

// The EnumWindows callback of IsNetscapeRunning: context points to a bool that
// is set, and the walk stopped, at the first Netscape window.
bool NetscapeWindowProc(WindowHandle window, void* context);

// Shows text in a "Warning" box with OK and Cancel until the user presses OK
// (true) or cancels and confirms it (false).
bool ShowBrowserWarning(const std::string& text);

}  // namespace brackenfold

#endif  // BRACKENFOLD_WIN32_BROWSER_CHECK_H_
