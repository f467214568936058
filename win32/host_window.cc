#include "win32/host_window.h"

#include <cstdint>

#include "platform/env.h"

namespace brackenfold {
namespace {

const char kCancelCaption[] = "Are you sure?";
const char kCancelText[] =
    "If you cancel, the Vantorium plug-in will not be installed and you will "
    "not be able to view Vantorium applets. Are you sure you wish to cancel?";
const std::uint32_t kHostWindowPollMs = 100;

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

}  // namespace brackenfold
