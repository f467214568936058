// install_host: a stand-in for the installation host, for Wine tests. It shows
// the host's main window (a class and title of the caller's choice, at once,
// late or never, plus extra top-level windows), loads an installer plug-in,
// calls its Wise_DoInstall with three texts and prints what happened, one line
// per event, for a test runner to parse:
//   WINDOW class|title                  a top-level window was created
//   BOX caption|text|flags|owner|answer|how    a message box, answered
//   DIALOG caption|owner|action         the directory or Save-As dialog, driven
//   SAVEFILE size                       the plug-in called GetSaveFileNameA
//   with
//                                       this lStructSize
//   RESULT n                            Wise_DoInstall returned n
//   NO-RESULT reason                    no result (timeout, too many boxes)
// Texts are escaped: backslash, '|', CR, LF and TAB as \\ \| \r \n \t. owner is
// "host" (the host's main window), "none" or "other"; flags are the MB_* flags
// in hex as the plug-in passed them, or "?" for a box shown by someone else;
// how is "scripted" or "default". Message boxes are answered from --answers
// ("Caption=Button;..." used in order; an entry is used once); an unscripted
// box gets OK, else Cancel, else No. Exit status: 0 with a RESULT line, 2 for
// bad usage, 3 with NO-RESULT, 4 when the plug-in cannot be loaded; a plug-in
// that ends the process leaves its own status.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: install_host [options] PLUGIN.dll DATA_DIR BLOB_LIST LIBRARY\n"
    "  --class NAME         class of the main window (GLBSInstall)\n"
    "  --title TEXT         title of the main window (Vantorium 3D Player)\n"
    "  --delay MS           create the main window MS ms after the call "
    "starts\n"
    "  --no-window          never create the main window\n"
    "  --extra CLASS|TITLE  also create this top-level window (repeatable;\n"
    "                       kept above the main window in the window order)\n"
    "  --answers SCRIPT     Caption=Button;... (OK Cancel Yes No Abort Retry "
    "Ignore)\n"
    "  --dir PATH|cancel    Select Directory: type PATH and press OK, or "
    "Cancel\n"
    "                       (repeatable, used in order; default: OK as shown;\n"
    "                       a dialog still open after its box takes the next)\n"
    "  --save-as PATH|cancel  Save-As dialog: file name and OK, or Cancel\n"
    "  --hold FILE          keep FILE open for reading (as the installed-\n"
    "                       component search does) during the call\n"
    "  --timeout S          give up after S seconds (NO-RESULT)\n"
    "  --max-boxes N        give up after N message boxes (50)\n";

const char kHostClass[] = "GLBSInstall";
const char kHostTitle[] = "Vantorium 3D Player";
const char kDirectoryDialogCaption[] = "Select Directory";
const int kDirectoryEdit = 1008;
const int kSaveFileName = 0x47c;      // cmb13, the file name box of Save-As
const int kSaveFileNameEdit = 0x480;  // edt1, where cmb13 is missing

struct WindowSpec {
  std::string class_name;
  std::string title;
};

struct Answer {
  std::string caption;
  std::string button;
  bool used = false;
};

// A MessageBoxA call of the plug-in that is still on screen.
struct PendingBox {
  HWND owner;
  std::string text;
  std::string caption;
  UINT flags;
};

struct Options {
  WindowSpec host{kHostClass, kHostTitle};
  bool create_host = true;
  DWORD delay_ms = 0;
  std::vector<WindowSpec> extra;
  std::deque<Answer> answers;
  std::deque<std::string> dir_actions;
  std::deque<std::string> save_actions;
  std::vector<std::string> hold;
  DWORD timeout_s = 0;
  int max_boxes = 50;
  std::string plugin, data_dir, blob_list, library;
};

Options options;
HWND host_window = nullptr;
std::vector<PendingBox> pending_boxes;
std::set<HWND> handled;
int box_count = 0;
CRITICAL_SECTION print_lock;

void PrintLine(const std::string& line) {
  EnterCriticalSection(&print_lock);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  LeaveCriticalSection(&print_lock);
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '|':
        out += "\\|";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
  return out;
}

[[noreturn]] void GiveUp(const std::string& reason) {
  PrintLine("NO-RESULT " + reason);
  // The plug-in may be inside a modal loop of this thread: end at once.
  TerminateProcess(GetCurrentProcess(), 3);
  ExitProcess(3);
}

std::string OwnerName(HWND owner) {
  if (!owner) return "none";
  return owner == host_window ? "host" : "other";
}

std::string WindowText(HWND window) {
  char buffer[1024] = "";
  GetWindowTextA(window, buffer, sizeof buffer);
  return buffer;
}

std::string ItemText(HWND dialog, int id) {
  char buffer[1024] = "";
  GetDlgItemTextA(dialog, id, buffer, sizeof buffer);
  return buffer;
}

struct ButtonName {
  const char* name;
  int id;
};
const ButtonName kButtons[] = {{"OK", IDOK},         {"Cancel", IDCANCEL},
                               {"Abort", IDABORT},   {"Retry", IDRETRY},
                               {"Ignore", IDIGNORE}, {"Yes", IDYES},
                               {"No", IDNO}};

int ButtonId(const std::string& name) {
  for (const ButtonName& b : kButtons) {
    if (_stricmp(b.name, name.c_str()) == 0) return b.id;
  }
  return 0;
}

// --- Windows of the host, on their own thread with its own message loop, so
// they answer while the plug-in's thread sleeps or sits in a modal loop.

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wparam,
                                LPARAM lparam) {
  return DefWindowProcA(window, message, wparam, lparam);
}

HWND CreateTopLevel(const WindowSpec& spec) {
  WNDCLASSA wc = {};
  if (!GetClassInfoA(GetModuleHandleA(nullptr), spec.class_name.c_str(), &wc)) {
    wc.lpfnWndProc = HostWindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = spec.class_name.c_str();
    RegisterClassA(&wc);
  }
  HWND window = CreateWindowExA(0, spec.class_name.c_str(), spec.title.c_str(),
                                WS_OVERLAPPEDWINDOW, 10, 10, 400, 300, nullptr,
                                nullptr, GetModuleHandleA(nullptr), nullptr);
  if (window) {
    ShowWindow(window, SW_SHOWNOACTIVATE);
    PrintLine("WINDOW " + Escape(spec.class_name) + "|" + Escape(spec.title));
  }
  return window;
}

HANDLE windows_ready = nullptr;

DWORD WINAPI WindowThread(void*) {
  std::vector<HWND> extras;
  for (const WindowSpec& spec : options.extra) {
    extras.push_back(CreateTopLevel(spec));
  }
  SetEvent(windows_ready);
  if (options.create_host) {
    if (options.delay_ms) Sleep(options.delay_ms);
    host_window = CreateTopLevel(options.host);
    // The extra windows go above the main window, so an enumeration offers
    // them first and a look-alike would be taken if the plug-in let it.
    for (HWND extra : extras) {
      SetWindowPos(extra, HWND_TOP, 0, 0, 0, 0,
                   SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
  }
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return 0;
}

DWORD WINAPI Watchdog(void*) {
  Sleep(options.timeout_s * 1000);
  GiveUp("timeout after " + std::to_string(options.timeout_s) + " s");
}

// --- Message boxes: the plug-in's MessageBoxA calls are seen through its
// import table (exact flags and owner); the box itself is answered by the CBT
// hook when it is activated.

using MessageBoxFn = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);
MessageBoxFn real_message_box = nullptr;
using SaveFileNameFn = BOOL(WINAPI*)(LPOPENFILENAMEA);
SaveFileNameFn real_save_file_name = nullptr;

BOOL WINAPI RecordingSaveFileName(LPOPENFILENAMEA request) {
  PrintLine("SAVEFILE " + std::to_string(request->lStructSize));
  return real_save_file_name(request);
}

int WINAPI RecordingMessageBox(HWND owner, LPCSTR text, LPCSTR caption,
                               UINT flags) {
  pending_boxes.push_back(
      PendingBox{owner, text ? text : "", caption ? caption : "", flags});
  int result = real_message_box(owner, text, caption, flags);
  pending_boxes.pop_back();
  return result;
}

bool PatchImport(HMODULE module, const char* dll, const char* name,
                 void* replacement, void** original) {
  auto* base = reinterpret_cast<BYTE*>(module);
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (!dir.VirtualAddress) return false;
  for (auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(
           base + dir.VirtualAddress);
       desc->Name; ++desc) {
    if (_stricmp(reinterpret_cast<char*>(base + desc->Name), dll) != 0) {
      continue;
    }
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(
        base + (desc->OriginalFirstThunk ? desc->OriginalFirstThunk
                                         : desc->FirstThunk));
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(
          base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<char*>(by_name->Name), name) != 0) {
        continue;
      }
      DWORD old_protect;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function,
                     PAGE_READWRITE, &old_protect);
      *original = reinterpret_cast<void*>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function,
                     old_protect, &old_protect);
      return true;
    }
  }
  return false;
}

// What a dialog is, judged from its controls.
bool IsMessageBox(HWND window) { return GetDlgItem(window, 0xFFFF) != nullptr; }
bool IsSaveDialog(HWND window) {
  return GetDlgItem(window, kSaveFileName) ||
         GetDlgItem(window, kSaveFileNameEdit);
}

void DriveDialog(HWND dialog, bool is_save);

void AnswerMessageBox(HWND box) {
  if (++box_count > options.max_boxes) GiveUp("too many message boxes");
  std::string caption = WindowText(box);
  std::string text = ItemText(box, 0xFFFF);
  std::string flags = "?";
  HWND owner = GetWindow(box, GW_OWNER);
  if (!pending_boxes.empty() && pending_boxes.back().caption == caption) {
    const PendingBox& call = pending_boxes.back();
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", call.flags);
    flags = hex;
    owner = call.owner;
    text = call.text;
  }
  std::string button;
  std::string how = "scripted";
  for (Answer& a : options.answers) {
    if (!a.used && a.caption == caption) {
      a.used = true;
      button = a.button;
      break;
    }
  }
  if (button.empty()) {
    how = "default";
    for (const char* b : {"OK", "Cancel", "No"}) {
      if (GetDlgItem(box, ButtonId(b))) {
        button = b;
        break;
      }
    }
    if (button.empty()) button = "OK";
  }
  PrintLine("BOX " + Escape(caption) + "|" + Escape(text) + "|" + flags + "|" +
            OwnerName(owner) + "|" + button + "|" + how);
  int id = ButtonId(button);
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
  // A box owned by the directory dialog leaves that dialog open: it takes
  // its next --dir action once the box is gone.
  if (owner && IsWindow(owner) &&
      WindowText(owner) == kDirectoryDialogCaption) {
    DriveDialog(owner, false);
  }
}

// Dialog actions run from a short timer, once the dialog has finished its
// own initialisation and entered its modal loop.
HWND timer_dialog = nullptr;
std::string timer_action;
bool timer_is_save = false;

void CALLBACK DialogTimer(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  HWND dialog = timer_dialog;
  if (!IsWindow(dialog)) return;
  std::string caption = WindowText(dialog);
  std::string owner = OwnerName(GetWindow(dialog, GW_OWNER));
  if (timer_action == "cancel") {
    PrintLine("DIALOG " + Escape(caption) + "|" + owner + "|cancel");
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    return;
  }
  if (timer_is_save) {
    int id =
        GetDlgItem(dialog, kSaveFileName) ? kSaveFileName : kSaveFileNameEdit;
    SetDlgItemTextA(dialog, id, timer_action.c_str());
  } else if (timer_action != "ok") {
    SetDlgItemTextA(dialog, kDirectoryEdit, timer_action.c_str());
  }
  std::string shown =
      timer_is_save ? timer_action : ItemText(dialog, kDirectoryEdit);
  PrintLine("DIALOG " + Escape(caption) + "|" + owner + "|ok " + Escape(shown));
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
}

void DriveDialog(HWND dialog, bool is_save) {
  if (++box_count > options.max_boxes) GiveUp("too many dialogs");
  std::deque<std::string>& actions =
      is_save ? options.save_actions : options.dir_actions;
  std::string action = "ok";
  if (!actions.empty()) {
    action = actions.front();
    actions.pop_front();
  }
  if (is_save && action == "ok") action = "cancel";
  timer_dialog = dialog;
  timer_action = action;
  timer_is_save = is_save;
  SetTimer(nullptr, 0, 300, DialogTimer);
}

LRESULT CALLBACK CbtHook(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HCBT_ACTIVATE) {
    HWND window = reinterpret_cast<HWND>(wparam);
    char class_name[64] = "";
    GetClassNameA(window, class_name, sizeof class_name);
    if (std::strcmp(class_name, "#32770") == 0 && !handled.count(window)) {
      handled.insert(window);
      // The directory dialog is named first: its "Drive:" label has the id
      // -1 (0xFFFF) that otherwise marks a message box's text.
      if (WindowText(window) == kDirectoryDialogCaption) {
        DriveDialog(window, false);
      } else if (IsMessageBox(window)) {
        AnswerMessageBox(window);
      } else if (IsSaveDialog(window)) {
        DriveDialog(window, true);
      } else {
        PrintLine("DIALOG " + Escape(WindowText(window)) + "|" +
                  OwnerName(GetWindow(window, GW_OWNER)) + "|cancel unknown");
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      }
    }
  }
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

bool ParseWindowSpec(const std::string& text, WindowSpec* spec) {
  std::size_t bar = text.find('|');
  if (bar == std::string::npos) return false;
  spec->class_name = text.substr(0, bar);
  spec->title = text.substr(bar + 1);
  return !spec->class_name.empty();
}

bool ParseAnswers(const std::string& script) {
  std::size_t start = 0;
  while (start <= script.size()) {
    std::size_t end = script.find(';', start);
    if (end == std::string::npos) end = script.size();
    std::string item = script.substr(start, end - start);
    if (!item.empty()) {
      std::size_t eq = item.rfind('=');
      if (eq == std::string::npos || !ButtonId(item.substr(eq + 1))) {
        return false;
      }
      options.answers.push_back(
          Answer{item.substr(0, eq), item.substr(eq + 1)});
    }
    start = end + 1;
  }
  return true;
}

bool ParseArguments(int argc, char** argv) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--class") {
      if (!value(&options.host.class_name)) return false;
    } else if (arg == "--title") {
      if (!value(&options.host.title)) return false;
    } else if (arg == "--delay") {
      if (!value(&v)) return false;
      options.delay_ms =
          static_cast<DWORD>(std::strtoul(v.c_str(), nullptr, 10));
    } else if (arg == "--no-window") {
      options.create_host = false;
    } else if (arg == "--extra") {
      WindowSpec spec;
      if (!value(&v) || !ParseWindowSpec(v, &spec)) return false;
      options.extra.push_back(spec);
    } else if (arg == "--answers") {
      if (!value(&v) || !ParseAnswers(v)) return false;
    } else if (arg == "--dir") {
      if (!value(&v)) return false;
      options.dir_actions.push_back(v);
    } else if (arg == "--save-as") {
      if (!value(&v)) return false;
      options.save_actions.push_back(v);
    } else if (arg == "--hold") {
      if (!value(&v)) return false;
      options.hold.push_back(v);
    } else if (arg == "--timeout") {
      if (!value(&v)) return false;
      options.timeout_s =
          static_cast<DWORD>(std::strtoul(v.c_str(), nullptr, 10));
    } else if (arg == "--max-boxes") {
      if (!value(&v)) return false;
      options.max_boxes = std::atoi(v.c_str());
    } else if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      return false;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 4) return false;
  options.plugin = positional[0];
  options.data_dir = positional[1];
  options.blob_list = positional[2];
  options.library = positional[3];
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  InitializeCriticalSection(&print_lock);
  if (!ParseArguments(argc, argv)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  HMODULE plugin = LoadLibraryA(options.plugin.c_str());
  if (!plugin) {
    std::fprintf(stderr, "install_host: cannot load %s (error %lu)\n",
                 options.plugin.c_str(), GetLastError());
    return 4;
  }
  FARPROC entry = GetProcAddress(plugin, "Wise_DoInstall");
  if (!entry) {
    std::fprintf(stderr, "install_host: %s has no Wise_DoInstall\n",
                 options.plugin.c_str());
    return 4;
  }
  void* original = nullptr;
  if (PatchImport(plugin, "user32.dll", "MessageBoxA",
                  reinterpret_cast<void*>(&RecordingMessageBox), &original)) {
    real_message_box = reinterpret_cast<MessageBoxFn>(original);
  }
  if (PatchImport(plugin, "comdlg32.dll", "GetSaveFileNameA",
                  reinterpret_cast<void*>(&RecordingSaveFileName), &original)) {
    real_save_file_name = reinterpret_cast<SaveFileNameFn>(original);
  }
  // Held until the process ends.
  for (const std::string& path : options.hold) {
    if (!std::fopen(path.c_str(), "rb")) {
      std::fprintf(stderr, "install_host: cannot open %s to hold it\n",
                   path.c_str());
      return 2;
    }
  }

  SetWindowsHookExA(WH_CBT, CbtHook, nullptr, GetCurrentThreadId());
  if (options.timeout_s)
    CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
  windows_ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  CreateThread(nullptr, 0, WindowThread, nullptr, 0, nullptr);
  WaitForSingleObject(windows_ready, INFINITE);

  using InstallFn = int(WINAPI*)(const char*, const char*, const char*);
  auto install = reinterpret_cast<InstallFn>(reinterpret_cast<void*>(entry));
  int result = install(options.data_dir.c_str(), options.blob_list.c_str(),
                       options.library.c_str());
  PrintLine("RESULT " + std::to_string(result));
  for (const Answer& a : options.answers) {
    if (!a.used) {
      std::fprintf(stderr, "install_host: answer not used: %s=%s\n",
                   a.caption.c_str(), a.button.c_str());
    }
  }
  std::fflush(stderr);
  // The window thread is still in its message loop; end without joining it.
  ExitProcess(0);
}
