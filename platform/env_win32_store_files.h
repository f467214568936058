// The Win32 Env's calls on names below a store directory, for env_win32.cc
// (env_win32_store_files.cc): each is the Env call of its name (env.h), and
// those that report through LastError keep the error code of a failed call
// in *last_error.
#ifndef BRACKENFOLD_PLATFORM_ENV_WIN32_STORE_FILES_H_
#define BRACKENFOLD_PLATFORM_ENV_WIN32_STORE_FILES_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/env.h"

namespace brackenfold {

// The most streams the runtime library can be asked for.
inline constexpr int kMaxStreams = 2048;

int Win32CreateFileIn(const std::string& directory, const std::string& name,
                      std::FILE** stream);
int Win32OpenFileIn(const std::string& directory, const std::string& name,
                    const char* mode, std::FILE** stream);
EntryKind Win32KindIn(const std::string& directory, const std::string& name);
bool Win32RemoveFileIn(const std::string& directory, const std::string& name,
                       std::uint32_t* last_error);
bool Win32MoveFileIn(const std::string& directory, const std::string& from,
                     const std::string& to, std::uint32_t* last_error);
std::unique_ptr<HeldLockFile> Win32CreateLockFileIn(
    const std::string& directory, const std::string& name, int* error,
    std::uint32_t* last_error);

}  // namespace brackenfold

#endif  // BRACKENFOLD_PLATFORM_ENV_WIN32_STORE_FILES_H_
