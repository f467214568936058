// install_host: a stand-in for the installation host, for Wine sessions and
// benchmarks. It shows the host's main window (class GLBSInstall, title
// "Vantorium 3D Player") and any extra top-level windows above it, loads an
// installer plug-in, calls its Wise_DoInstall with three texts, answers what
// the plug-in shows, and prints one line per event:
//   BOX caption|text|buttons|owner         a message box, answered
//   DIALOG caption|owner|shown|action      the directory dialog (OK) or
//                                          Save-As (--save-as, else cancel)
//   RESULT n                               Wise_DoInstall returned n
//   NO-RESULT timeout                      no result in the time given
// Texts escape backslash, '|', CR and LF as \\ \| \r \n. buttons are the box's
// buttons, as "Yes,No", of which the first is pressed; owner is "host" (the
// main window), "none" or "other"; shown is what the dialog's name field held.
// Exit status: 0 with RESULT, 2 for bad usage, 3 with NO-RESULT, 4 when the
// plug-in cannot be loaded; a plug-in that ends the process leaves its own
// status.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: install_host [--extra CLASS|TITLE]... [--save-as PATH|cancel]\n"
    "  [--hold FILE] [--timeout S] PLUGIN.dll DATA_DIR BLOB_LIST LIBRARY\n";

const char kDirectoryCaption[] = "Select Directory";
const int kDirectoryEdit = 1008;
const int kSaveName = 0x47c;  // cmb13, the file name box of Save-As

std::vector<std::pair<std::string, std::string>> extra_windows;
std::string save_action = "cancel";
HWND host_window = nullptr;
DWORD timeout_s = 0;
std::set<HWND> handled;

void Print(const std::string& line) {
  std::printf("%s\n", line.c_str());  // the runtime locks the stream
  std::fflush(stdout);
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '|') out += '\\';
    out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
  }
  return out;
}

std::string OwnerName(HWND owner) {
  return !owner ? "none" : owner == host_window ? "host" : "other";
}

std::string Text(HWND window) {
  char buffer[4096] = "";
  GetWindowTextA(window, buffer, sizeof buffer);
  return buffer;
}

std::string ItemText(HWND dialog, int id) {
  return Text(GetDlgItem(dialog, id));
}

void Press(HWND dialog, int id) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// The host's windows live on their own thread with its own message loop, so
// they answer while the plug-in's thread sleeps or sits in a modal loop.
HWND Show(const std::string& class_name, const std::string& title) {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = class_name.c_str();
  RegisterClassA(&wc);  // fails harmlessly when the class is there
  HWND window = CreateWindowExA(0, class_name.c_str(), title.c_str(),
                                WS_OVERLAPPEDWINDOW, 10, 10, 400, 300, nullptr,
                                nullptr, wc.hInstance, nullptr);
  ShowWindow(window, SW_SHOWNOACTIVATE);
  return window;
}

DWORD WINAPI WindowThread(void* ready) {
  host_window = Show("GLBSInstall", "Vantorium 3D Player");
  // Above the main window, an enumeration offers the extra windows first.
  for (const auto& extra : extra_windows) Show(extra.first, extra.second);
  SetEvent(ready);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
  return 0;
}

DWORD WINAPI Watchdog(void*) {
  Sleep(timeout_s * 1000);
  Print("NO-RESULT timeout");
  // The plug-in may be inside a modal loop of this thread: end at once.
  TerminateProcess(GetCurrentProcess(), 3);
  return 3;
}

// Dialog actions run from a short timer, once the dialog has finished its own
// initialisation and entered its modal loop.
HWND timer_dialog = nullptr;
std::string timer_action;
int timer_edit = 0;

void CALLBACK DialogTimer(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  HWND dialog = timer_dialog;
  if (!IsWindow(dialog)) return;
  Print("DIALOG " + Escape(Text(dialog)) + "|" +
        OwnerName(GetWindow(dialog, GW_OWNER)) + "|" +
        Escape(ItemText(dialog, timer_edit)) + "|" + Escape(timer_action));
  if (timer_action != "ok" && timer_action != "cancel") {
    SetDlgItemTextA(dialog, timer_edit, timer_action.c_str());
  }
  Press(dialog, timer_action == "cancel" ? IDCANCEL : IDOK);
}

void AnswerBox(HWND box) {
  const char* const names[] = {"OK",     "Cancel", "Abort", "Retry",
                               "Ignore", "Yes",    "No"};
  std::string buttons;
  int first = 0;
  for (int id = IDOK; id <= IDNO; ++id) {
    if (!GetDlgItem(box, id)) continue;
    buttons += (first ? "," : "") + std::string(names[id - IDOK]);
    if (!first) first = id;
  }
  Print("BOX " + Escape(Text(box)) + "|" + Escape(ItemText(box, 0xFFFF)) + "|" +
        buttons + "|" + OwnerName(GetWindow(box, GW_OWNER)));
  Press(box, first);
}

LRESULT CALLBACK CbtHook(int code, WPARAM wparam, LPARAM lparam) {
  HWND window = reinterpret_cast<HWND>(wparam);
  char class_name[16] = "";
  if (code == HCBT_ACTIVATE &&
      GetClassNameA(window, class_name, sizeof class_name) &&
      std::strcmp(class_name, "#32770") == 0 && handled.insert(window).second) {
    // The directory dialog's "Drive:" label has the id -1 (0xFFFF) that
    // otherwise marks a message box's text.
    const bool directory = Text(window) == kDirectoryCaption;
    if (!directory && GetDlgItem(window, 0xFFFF)) {
      AnswerBox(window);
    } else {
      timer_dialog = window;
      timer_action = directory ? "ok" : save_action;
      timer_edit = directory ? kDirectoryEdit : kSaveName;
      SetTimer(nullptr, 0, 300, DialogTimer);
    }
  }
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> positional;
  bool usable = true;
  for (int i = 1; i < argc && usable; ++i) {
    std::string arg = argv[i];
    if (arg.compare(0, 2, "--") != 0) {
      positional.push_back(arg);
      continue;
    }
    std::string v = ++i < argc ? argv[i] : "";
    std::size_t bar = v.find('|');
    if (arg == "--extra" && bar != std::string::npos && bar > 0) {
      extra_windows.emplace_back(v.substr(0, bar), v.substr(bar + 1));
    } else if (arg == "--save-as" && !v.empty()) {
      save_action = v;
    } else if (arg == "--hold") {
      usable = std::fopen(v.c_str(), "rb") != nullptr;  // held until the end
    } else if (arg == "--timeout" && !v.empty()) {
      timeout_s = static_cast<DWORD>(std::strtoul(v.c_str(), nullptr, 10));
    } else {
      usable = false;
    }
  }
  if (!usable || positional.size() != 4) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  HMODULE plugin = LoadLibraryA(positional[0].c_str());
  FARPROC entry = plugin ? GetProcAddress(plugin, "Wise_DoInstall") : nullptr;
  if (!entry) {
    std::fprintf(stderr, "install_host: no Wise_DoInstall in %s (error %lu)\n",
                 positional[0].c_str(), GetLastError());
    return 4;
  }
  SetWindowsHookExA(WH_CBT, CbtHook, nullptr, GetCurrentThreadId());
  if (timeout_s) CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  CreateThread(nullptr, 0, WindowThread, ready, 0, nullptr);
  WaitForSingleObject(ready, INFINITE);

  using InstallFn = int(WINAPI*)(const char*, const char*, const char*);
  auto install = reinterpret_cast<InstallFn>(reinterpret_cast<void*>(entry));
  int result = install(positional[1].c_str(), positional[2].c_str(),
                       positional[3].c_str());
  Print("RESULT " + std::to_string(result));
  // The window thread is still in its message loop; end without joining it.
  ExitProcess(0);
}
