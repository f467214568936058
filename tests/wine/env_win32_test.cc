// The Win32 Env and dialog on the real system (the i686 build under 32-bit
// Wine), where only it can show them: share modes and delete-on-close of the
// store's files, exceptions that must not unwind through USER32, the calling
// convention of initialisation libraries, and the directory dialog on real
// controls (its template linked in).
#include <windows.h>
// After windows.h, which they need.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/dialog.h"
#include "platform/env.h"
#include "win32/dlg_edit_directory.h"
#include "win32/host_window.h"

namespace brackenfold {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(EnvWin32, StoreFilesKeepOthersOut) {
  Env& env = *Env::Default();
  std::string dir;
  ASSERT_TRUE(env.TempDirectory(&dir));
  dir += "bf-store-" + std::to_string(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
  // An exclusive create never opens what is there, and writes through the
  // handle that created the file.
  WriteAll(dir + "\\a.dll", "old");
  std::FILE* stream = nullptr;
  EXPECT_EQ(env.CreateFileIn(dir, "a.dll", &stream), kErrnoExists);
  EXPECT_EQ(stream, nullptr);
  ASSERT_EQ(env.CreateFileIn(dir, "b.dll", &stream), 0);
  std::fputs("new", stream);
  std::fclose(stream);
  EXPECT_EQ(ReadAll(dir + "\\a.dll") + ReadAll(dir + "\\b.dll"), "oldnew");

  // The lock file: one left by a crash is no obstacle; held, it shares
  // nothing, not even reading; released, it is gone.
  WriteAll(dir + "\\x.lock", "left");
  int error = 0;
  auto held = env.CreateLockFileIn(dir, "x.lock", &error);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(env.CreateLockFileIn(dir, "x.lock", &error), nullptr);
  EXPECT_EQ(ReadAll(dir + "\\x.lock"), "");
  held.reset();
  EXPECT_EQ(GetFileAttributesA((dir + "\\x.lock").c_str()),
            INVALID_FILE_ATTRIBUTES);

  // A blob opened for the check shuts writers and renamers out until closed.
  std::FILE* blob = env.OpenStreamDenyWrite(dir + "\\a.dll", "rb");
  ASSERT_NE(blob, nullptr);
  EXPECT_EQ(std::fopen((dir + "\\a.dll").c_str(), "r+b"), nullptr);
  const std::string from = dir + "\\b.dll", to = dir + "\\a.dll";
  EXPECT_FALSE(
      MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING));
  std::fclose(blob);
  EXPECT_TRUE(MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(ReadAll(to), "new");
}

// The recorder library built for cdecl leaves its arguments on the stack:
// they must arrive all the same, and the call put the stack back and say so.
// (The install session calls the WINAPI one.)
TEST(EnvWin32Calls, InitialisationArgumentsArriveAndACdeclStackIsPutBack) {
  Env* env = Env::Default();
  std::string path;
  ASSERT_TRUE(env->TempDirectory(&path));
  path += "bf_init_" + std::to_string(GetCurrentProcessId()) + ".dll";
  const char* registered[] = {"Viewer.dll", "data\\readme.txt"};
  const char* stored[] = {"viewer3C000000.dll", "x3C000000.txt"};
  LibraryHandle library = env->OpenLibrary(BF_INIT_RECORDER_CDECL);
  void* entry = env->FindLibraryEntry(library, "component_install_initialize");
  ASSERT_NE(entry, nullptr) << "missing, or decorated";
  // Twice: a stack left unbalanced by the first call would shift the second.
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(
        env->CallStdcall4(entry, reinterpret_cast<std::uintptr_t>(path.c_str()),
                          2, reinterpret_cast<std::uintptr_t>(registered),
                          reinterpret_cast<std::uintptr_t>(stored)));
  }
  env->CloseLibrary(library);
  const std::string call = "library=" + path +
                           "\ncount=2\nViewer.dll;viewer3C000000.dll\n"
                           "data\\readme.txt;x3C000000.txt\nend\n";
  EXPECT_EQ(ReadAll(path + ".calls"), call + call);
  DeleteFileA((path + ".calls").c_str());
}

HTREEITEM Next(HWND tree, WPARAM relation, HTREEITEM item) {
  return reinterpret_cast<HTREEITEM>(SendMessageA(
      tree, TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(item)));
}

// The directory dialog, template 104, on its real controls, with a thread
// timer playing the user inside its modal loop: C: from the drive list
// rebuilds the tree on C: alone, and a click on its first directory narrows
// the tree to that one and fills the edit field.
std::string shown;  // the edit field after the click

void CALLBACK PlayUser(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND dialog = FindWindowA("#32770", "Select Directory");
  if (!dialog) return;  // not open yet
  KillTimer(nullptr, timer);
  HWND tree = GetDlgItem(dialog, 1015), combo = GetDlgItem(dialog, 1013);
  SendMessageA(
      combo, CB_SETCURSEL,
      SendMessageA(combo, CB_FINDSTRING, -1, reinterpret_cast<LPARAM>("c")), 0);
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(1013, CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(combo));
  HTREEITEM root = Next(tree, TVGN_ROOT, nullptr);
  EXPECT_EQ(Next(tree, TVGN_NEXT, root), nullptr);
  SendMessageA(tree, TVM_SELECTITEM, TVGN_CARET,
               reinterpret_cast<LPARAM>(Next(tree, TVGN_CHILD, root)));
  EXPECT_EQ(Next(tree, TVGN_NEXT, Next(tree, TVGN_CHILD, root)), nullptr);
  char text[MAX_PATH] = "";
  GetDlgItemTextA(dialog, 1008, text, sizeof text);
  shown = text;
  SendMessageA(dialog, WM_COMMAND, IDOK, 0);
}

TEST(DirectoryDialog, TreeAndDrivesFollowTheUserAndOkTakesTheChoice) {
  ModuleInstance() = GetModuleHandleA(nullptr);
  HostWindow() = nullptr;
  std::string directory = "Z:\\tmp";
  SetTimer(nullptr, 0, 100, PlayUser);
  EXPECT_EQ(DlgEditDirectory::Run(&directory, "Where shall it go?", false),
            IDOK);
  // c:\NAME\ in the field, taken without the backslash.
  EXPECT_EQ(_strnicmp(shown.c_str(), "c:\\", 3), 0) << shown;
  EXPECT_EQ(shown.find('\\', 3), shown.size() - 1);
  EXPECT_EQ(directory + "\\", shown);
}

class ThrowingHandler : public DialogHandler {
 public:
  bool OnInitDialog(DialogWindow&) override {
    throw std::runtime_error("from the handler");
  }
  bool OnCommand(DialogWindow&, int, int) override { return false; }
  bool OnTreeSelectionChanged(DialogWindow&, int, TreeItem, TreeItem) override {
    return false;
  }
};

// Exceptions from callbacks come out of the USER32 call, never through it.
TEST(EnvWin32Calls, CallbackExceptionsComeOutAndMissingTemplateFails) {
  HWND window = CreateWindowExA(0, "STATIC", "look", WS_POPUP, 0, 0, 10, 10,
                                nullptr, nullptr, nullptr, nullptr);
  int calls = 0;
  auto throwing = [](WindowHandle, void* context) -> bool {
    ++*static_cast<int*>(context);
    throw std::bad_alloc();
  };
  EXPECT_THROW(Env::Default()->EnumTopLevelWindows(throwing, &calls),
               std::bad_alloc);
  EXPECT_EQ(calls, 1);
  DestroyWindow(window);

  ThrowingHandler handler;
  HMODULE module = GetModuleHandleA(nullptr);
  EXPECT_THROW(RunWin32Dialog(module, 104, nullptr, &handler),
               std::runtime_error);
  EXPECT_EQ(RunWin32Dialog(module, 999, nullptr, &handler), -1);
}

}  // namespace
}  // namespace brackenfold
