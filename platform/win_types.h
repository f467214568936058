// Handle types and the numeric constants of the Win32 calls the installer
// makes, spelled so that they never clash with <windows.h> macros. The values
// are the Win32 ones, so the Win32 Env passes them through unchanged and the
// fake and POSIX Envs answer in the same terms.
#ifndef BRACKENFOLD_PLATFORM_WIN_TYPES_H_
#define BRACKENFOLD_PLATFORM_WIN_TYPES_H_

#include <cstdint>

namespace brackenfold {

using WindowHandle = void*;     // HWND
using LibraryHandle = void*;    // HMODULE
using ModuleHandle = void*;     // HINSTANCE of this library
using RegKey = std::uintptr_t;  // HKEY; 0 is no key

inline constexpr RegKey kHkeyCurrentUser = 0x80000001u;
inline constexpr RegKey kHkeyLocalMachine = 0x80000002u;

namespace reg {
inline constexpr std::uint32_t kSz = 1;
inline constexpr std::uint32_t kExpandSz = 2;
inline constexpr std::uint32_t kDword = 4;
inline constexpr std::uint32_t kMultiSz = 7;
inline constexpr std::uint32_t kQueryValue = 0x0001;
inline constexpr std::uint32_t kRead = 0x20019;
inline constexpr std::uint32_t kDelete = 0x10000;
inline constexpr std::uint32_t kAllAccess = 0xF003F;
}  // namespace reg

// Win32 error codes (GetLastError and registry results).
namespace win_error {
inline constexpr long kSuccess = 0;
inline constexpr long kFileNotFound = 2;
inline constexpr long kPathNotFound = 3;
inline constexpr long kAccessDenied = 5;
inline constexpr long kInvalidParameter = 87;
inline constexpr long kMoreData = 234;
inline constexpr long kNoMoreItems = 259;
}  // namespace win_error

// MessageBoxA flags and results.
namespace box {
inline constexpr unsigned kOk = 0x0;
inline constexpr unsigned kOkCancel = 0x1;
inline constexpr unsigned kYesNo = 0x4;
inline constexpr unsigned kIconHand = 0x10;
inline constexpr unsigned kIconQuestion = 0x20;
inline constexpr unsigned kIconExclamation = 0x30;
inline constexpr unsigned kDefaultButton2 = 0x100;
inline constexpr unsigned kSystemModal = 0x1000;
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;
}  // namespace box

inline constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
inline constexpr std::uint32_t kFileAttributeDirectory = 0x10u;
inline constexpr int kMaxPath = 260;

}  // namespace brackenfold

#endif  // BRACKENFOLD_PLATFORM_WIN_TYPES_H_
