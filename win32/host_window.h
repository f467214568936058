// The installation host's window and this library's module: the two
// process-wide handles the user interface works with, the wait that finds the
// host's window, and the cancel confirmation every cancel passes through.
#ifndef BRACKENFOLD_WIN32_HOST_WINDOW_H_
#define BRACKENFOLD_WIN32_HOST_WINDOW_H_

#include "platform/win_types.h"

namespace brackenfold {

inline constexpr const char* kHostWindowClass = "GLBSInstall";
inline constexpr const char* kHostWindowTitle = "Vantorium 3D Player";

// This library's module handle, set by the load handler; never cleared.
ModuleHandle& ModuleInstance();
// The host's main window: null until WaitForHostWindow finds it; never
// cleared afterwards. Owner of the running-browser warnings and parent of the
// directory dialog.
WindowHandle& HostWindow();

// Asks "Are you sure?" (Yes/No, question icon) owned by owner, which may be
// null. True only for Yes: the cancel stands.
bool ConfirmCancel(WindowHandle owner);

// EnumWindows callback: stores the first window titled kHostWindowTitle of
// class kHostWindowClass (both exact and case-sensitive) through host_window,
// a WindowHandle*, and stops the enumeration.
bool HostWindowEnumProc(WindowHandle window, void* host_window);

// Enumerates the top-level windows every 100 ms until HostWindowEnumProc finds
// the host's window, and keeps it as HostWindow(); sleeps once even when it is
// there at once. No time limit.
void WaitForHostWindow();

}  // namespace brackenfold

#endif  // BRACKENFOLD_WIN32_HOST_WINDOW_H_
