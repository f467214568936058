// Internet Explorer registration against Wine's real registry: a successful
// registration leaves exactly the seven values, as REG_SZ with the
// terminating zero counted, and shows nothing.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>

#include "win32/ie_registration.h"

namespace {

const char kVtvm[] =
    "SOFTWARE\\Microsoft\\Internet Explorer\\Plugins\\Extension\\.vtvm";
const char kKfvm[] =
    "SOFTWARE\\Microsoft\\Internet Explorer\\Plugins\\Extension\\.kfvm";
const char kMime[] =
    "SOFTWARE\\Microsoft\\Internet Explorer\\Plugins\\MIME\\"
    "application/x-Vantorium-3D-Applet";
const char kLibrary[] = "C:\\Program Files\\Vantorium\\NPAXVnt.dll";

struct Value {
  DWORD type;
  std::string data;  // raw bytes as stored
};

// Every value of HKLM\key by name; empty when the key cannot be opened.
std::map<std::string, Value> ReadValues(const char* key) {
  std::map<std::string, Value> values;
  HKEY handle;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) !=
      ERROR_SUCCESS) {
    return values;
  }
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD name_size = sizeof name;
    BYTE data[1024];
    DWORD data_size = sizeof data;
    DWORD type = 0;
    if (RegEnumValueA(handle, i, name, &name_size, nullptr, &type, data,
                      &data_size) != ERROR_SUCCESS) {
      break;
    }
    values[std::string(name, name_size)] =
        Value{type, std::string(reinterpret_cast<char*>(data), data_size)};
  }
  RegCloseKey(handle);
  return values;
}

std::string Sz(const std::string& text) { return text + std::string(1, '\0'); }

// Fails the test if any message box is activated on this thread.
int boxes_shown = 0;
LRESULT CALLBACK CountBoxes(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HCBT_ACTIVATE) {
    ++boxes_shown;
    PostMessageA(reinterpret_cast<HWND>(wparam), WM_CLOSE, 0, 0);
  }
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

TEST(IeRegistrationWine, SuccessLeavesExactlyTheSevenValues) {
  HHOOK hook =
      SetWindowsHookExA(WH_CBT, CountBoxes, nullptr, GetCurrentThreadId());
  EXPECT_TRUE(brackenfold::RegisterInternetExplorerPlugin(kLibrary));
  UnhookWindowsHookEx(hook);
  EXPECT_EQ(0, boxes_shown);

  for (const char* key : {kVtvm, kKfvm}) {
    auto values = ReadValues(key);
    ASSERT_EQ(3u, values.size()) << key;
    EXPECT_EQ(Sz(kLibrary), values["Location"].data);
    EXPECT_EQ(Sz("application/x-Vantorium-3D-Applet"),
              values["Content Type"].data);
    EXPECT_EQ(Sz("Vantorium, Inc.'s Vantorium3D"), values[""].data);
    for (const auto& v : values) EXPECT_EQ(DWORD{REG_SZ}, v.second.type);
  }
  auto mime = ReadValues(kMime);
  ASSERT_EQ(1u, mime.size());
  EXPECT_EQ(Sz(".vtvm"), mime["Extension"].data);
  EXPECT_EQ(DWORD{REG_SZ}, mime["Extension"].type);
}

TEST(IeRegistrationWine, SecondRunOverwritesAndKeepsOtherValues) {
  HKEY key;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKfvm, 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr));
  const char other[] = "kept";
  RegSetValueExA(key, "Other", 0, REG_SZ, reinterpret_cast<const BYTE*>(other),
                 sizeof other);
  RegCloseKey(key);

  EXPECT_TRUE(brackenfold::RegisterInternetExplorerPlugin("D:\\New.dll"));
  auto values = ReadValues(kKfvm);
  EXPECT_EQ(Sz("D:\\New.dll"), values["Location"].data);
  EXPECT_EQ(Sz("kept"), values["Other"].data);
}

}  // namespace
