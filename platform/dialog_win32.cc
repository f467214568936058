// DialogBoxParamA behind the DialogHandler seam. (The directory dialog lands
// here; until then no dialog can be shown.)
#include "platform/dialog.h"

namespace brackenfold {

std::intptr_t RunWin32Dialog(ModuleHandle, int, WindowHandle, DialogHandler*) {
  return -1;
}

}  // namespace brackenfold
