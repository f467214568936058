// The fatal error report: FatalError tells the user that the installation
// cannot go on, offers to save the report with its details to a text file, and
// ends the process with exit status 1 through Env::Exit; it never returns.
// FatalSystemError adds the system's text for a Windows error code, which
// FormatSystemError gives (empty when the system has none).
#ifndef BRACKENFOLD_WIN32_FATAL_ERROR_H_
#define BRACKENFOLD_WIN32_FATAL_ERROR_H_

#include <cstdint>
#include <string>

namespace brackenfold {

// source_file and line name the raising statement (__FILE__, __LINE__).
[[noreturn]] void FatalError(const std::string& message,
                             const std::string& source_file,
                             std::uint32_t line);
[[noreturn]] void FatalSystemError(const std::string& message,
                                   const std::string& source_file,
                                   std::uint32_t line, std::uint32_t code);

// The system's message for a Windows error code, as it stands (usually ending
// in CR LF); the empty text when the system has none.
std::string FormatSystemError(std::uint32_t code);

// When this library was built, as __DATE__ ("Mmm dd yyyy") and __TIME__
// ("hh:mm:ss") gave it; the saved details end with the build time.
extern const char kFatalReportBuildDate[];
extern const char kFatalReportBuildTime[];

}  // namespace brackenfold

#define BF_FATAL_ERROR(message) \
  ::brackenfold::FatalError((message), __FILE__, __LINE__)
#define BF_FATAL_SYSTEM_ERROR(message, code) \
  ::brackenfold::FatalSystemError((message), __FILE__, __LINE__, (code))

#endif  // BRACKENFOLD_WIN32_FATAL_ERROR_H_
