// The Win32 Env where the machine of the build matters, run on the i686 build
// under 32-bit Wine: a C++ exception thrown by a window enumeration callback
// comes out of EnumTopLevelWindows instead of unwinding through USER32 (which
// ends the process on i686), and component_install_initialize is called as
// WINAPI: a real initialisation library gets its path, count and both name
// arrays intact, and returns with the caller's stack balanced; a copy of it
// built for cdecl leaves its arguments behind, which the call must see.
#include <windows.h>
// gtest after windows.h.
#include <gtest/gtest.h>

#include <cstdio>
#include <new>
#include <string>

#include "platform/env.h"

namespace brackenfold {
namespace {

TEST(EnvWin32, ExceptionFromAnEnumerationCallbackComesOutOfTheCall) {
  // A top-level window of this thread, so there is one to enumerate.
  HWND window = CreateWindowExA(0, "STATIC", "look", WS_POPUP, 0, 0, 10, 10,
                                nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  int calls = 0;
  auto throwing = [](WindowHandle, void* context) -> bool {
    ++*static_cast<int*>(context);
    throw std::bad_alloc();
  };
  EXPECT_THROW(Env::Default()->EnumTopLevelWindows(throwing, &calls),
               std::bad_alloc);
  EXPECT_EQ(calls, 1);  // the enumeration stopped at the throw
  DestroyWindow(window);
}

std::string ReadAll(const std::string& path) {
  std::string text;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return text;
  char buffer[512];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) {
    text.append(buffer, n);
  }
  std::fclose(f);
  return text;
}

struct Library {
  const char* path;
  bool removes_its_arguments;
};

class ComponentInitialize : public ::testing::TestWithParam<Library> {};

TEST_P(ComponentInitialize, ArgumentsArriveAndTheStackIsChecked) {
  Env* env = Env::Default();
  LibraryHandle library = env->OpenLibrary(GetParam().path);
  ASSERT_NE(library, nullptr) << GetParam().path;
  void* entry = env->FindLibraryEntry(library, "component_install_initialize");
  ASSERT_NE(entry, nullptr) << "export missing or decorated";

  std::string temp;
  ASSERT_TRUE(env->TempDirectory(&temp));
  const std::string stored_path =
      temp + "bf_init_" + std::to_string(GetCurrentProcessId()) + ".dll";
  const char* registered[] = {"Viewer.dll", "bin.dat", "data\\readme.txt"};
  const char* stored[] = {"viewer3C000000.dll", "bin3C000000.dat",
                          "x3C000000.txt"};
  // Called twice: a stack left unbalanced by the first call would shift
  // everything the second one is given.
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(env->CallStdcall4(
                  entry, reinterpret_cast<std::uintptr_t>(stored_path.c_str()),
                  3, reinterpret_cast<std::uintptr_t>(registered),
                  reinterpret_cast<std::uintptr_t>(stored)),
              GetParam().removes_its_arguments);
  }
  env->CloseLibrary(library);

  const std::string one_call = "library=" + stored_path +
                               "\ncount=3\n"
                               "Viewer.dll;viewer3C000000.dll\n"
                               "bin.dat;bin3C000000.dat\n"
                               "data\\readme.txt;x3C000000.txt\nend\n";
  EXPECT_EQ(ReadAll(stored_path + ".calls"), one_call + one_call);
  DeleteFileA((stored_path + ".calls").c_str());
}

// The tests run on i686, where cdecl is a second calling convention.
INSTANTIATE_TEST_SUITE_P(Libraries, ComponentInitialize,
                         ::testing::Values(Library{BF_INIT_RECORDER, true},
                                           Library{BF_INIT_RECORDER_CDECL,
                                                   false}));

}  // namespace
}  // namespace brackenfold
