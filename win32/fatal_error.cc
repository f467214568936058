#include "win32/fatal_error.h"

#include <cstdio>
#include <cstdlib>

#include "platform/env.h"
#include "store/text.h"

namespace brackenfold {

const char kFatalReportBuildDate[] = __DATE__;
const char kFatalReportBuildTime[] = __TIME__;

namespace {

constexpr char kCaption[] = "Vantorium Installer Error";
constexpr char kDefaultFileName[] = "c:\\vantorium_installer_error.txt";

// Writes text to the file at path in text mode, creating or emptying it.
// True only when all of it reached the file: stdio buffers the text, so a full
// disk often shows only when fclose flushes it.
bool WriteDetailsFile(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  const bool written = std::fputs(text.c_str(), file) >= 0;
  const bool closed = std::fclose(file) == 0;
  return written && closed;
}

[[noreturn]] void EndProcess() {
  CurrentEnv().Exit(1);
  std::exit(1);  // only reached when an Env's Exit came back
}

}  // namespace

void FatalError(const std::string& message, const std::string& source_file,
                std::uint32_t line) {
  Env& env = CurrentEnv();
  const std::string line_text =
      FormatText("%lu", static_cast<unsigned long>(line));

  std::string report =
      "An unexpected error has occurred. Installation is unable to continue. "
      "Details on the error follow.\n\n";
  report += message;
  report +=
      "\n\nAdditional information on this error can be written to a file of "
      "your chosing. This file will be helpful if you report this issue to "
      "Vantorium. Would you like to create this file?";

  // 0x114: Yes and No, No being the default button, and the stop icon.
  const int answer =
      env.ShowMessageBox(nullptr, report, kCaption,
                         box::kYesNo | box::kIconHand | box::kDefaultButton2);
  if (answer == box::kIdNo) EndProcess();

  report += "\n\nAdditional information:\n\n";
  report += "File name: " + source_file;
  report += "\nLine Number: " + line_text;
  report += std::string("\nBuild Date: ") + kFatalReportBuildDate;
  report += std::string("\nBuild Time: ") + kFatalReportBuildTime;

  SaveFileRequest request;
  request.filter_label = "Text Files (*.txt)";
  request.filter_pattern = "*.txt";
  request.initial_name = kDefaultFileName;
  request.title = "Save Error Details As";
  request.flags = kOfnOverwritePrompt;
  std::string chosen;
  if (env.AskSaveFileName(request, &chosen) &&
      WriteDetailsFile(chosen, report)) {
    EndProcess();
  }

  // Cancelled, or the file could not be opened or written in full: the user
  // still gets the whole report, on screen.
  env.ShowMessageBox(nullptr,
                     "Unable to save error details to file.\n\n\n" + report,
                     kCaption, box::kIconHand);
  EndProcess();
}

void FatalSystemError(const std::string& message,
                      const std::string& source_file, std::uint32_t line,
                      std::uint32_t code) {
  FatalError(message + "\n\nWindows reports the following:\n" +
                 FormatSystemError(code),
             source_file, line);
}

std::string FormatSystemError(std::uint32_t code) {
  return CurrentEnv().SystemErrorText(code);
}

}  // namespace brackenfold
