// The fatal error report, and directory creation, whose every failure is one.
#include "win32/fatal_error.h"

#include <gtest/gtest.h>

#include <map>

#include "tests/component/component_test_support.h"
#include "win32/directory_path.h"

namespace brackenfold {
namespace {

std::string Question(const std::string& message) {
  return "An unexpected error has occurred. Installation is unable to "
         "continue. Details on the error follow.\n\n" +
         message +
         "\n\nAdditional information on this error can be written to a file "
         "of your chosing. This file will be helpful if you report this issue "
         "to Vantorium. Would you like to create this file?";
}

// Runs call; true when it ended the process with status 1, false when it
// returned.
template <typename F>
bool Ends(F call) {
  try {
    call();
  } catch (const FakeExit& e) {
    return e.status == 1;
  }
  return false;
}

// The boxes shown, each as "caption flags|text|" ("owned" when owned).
std::string Boxes(const FakeEnv& env) {
  std::string out;
  for (const RecordedBox& b : env.boxes) {
    out += b.caption + std::to_string(b.flags) + (b.owner ? "owned|" : "|") +
           b.text + "|";
  }
  return out;
}

TEST(FatalError, OffersTheDetailsFileAndShowsThemWhenNotSaved) {
  ScratchDirectory scratch;
  const std::string old = scratch.Join("old.txt");
  ASSERT_TRUE(WriteFileBytes(old, std::string(5000, 'x')));
  const std::string ask = "Vantorium Installer Error276|" + Question("M") + "|";
  const std::string details =
      Question("M") +
      "\n\nAdditional information:\n\nFile name: n.cc\nLine Number: "
      "4294967295\nBuild Date: " +
      kFatalReportBuildDate + "\nBuild Time: " + kFatalReportBuildTime;
  const struct {
    int answer;
    std::string chosen;  // "": the dialog is cancelled
    bool saved;
  } cases[] = {
      {box::kIdNo, old, false},
      {box::kIdYes, old, true},
      {0, scratch.Join("new.txt"), true},  // a box that failed
      {box::kIdYes, "", false},
      {box::kIdYes, scratch.Join("none/d.txt"), false},
      {box::kIdYes, "/dev/full", false},
  };
  for (const auto& c : cases) {
    ScopedFakeEnv env;
    env->box_answers = {c.answer};
    env->save_dialog = [&c](const SaveFileRequest& r, std::string* chosen) {
      EXPECT_EQ(r.filter_label + r.filter_pattern + r.initial_name + r.title,
                "Text Files (*.txt)*.txtc:\\vantorium_installer_error.txtSave "
                "Error Details As");
      EXPECT_EQ(r.flags, kOfnOverwritePrompt);
      *chosen = c.chosen;
      return !c.chosen.empty();
    };
    EXPECT_TRUE(Ends([] { FatalError("M", "n.cc", 4294967295u); }));
    const bool asked = c.answer != box::kIdNo;
    EXPECT_EQ(Boxes(env.env()),
              asked && !c.saved ? ask +
                                      "Vantorium Installer Error16|Unable "
                                      "to save error details to file.\n\n\n" +
                                      details + "|"
                                : ask);
    EXPECT_EQ(env->save_requests.size(), asked ? 1u : 0u);
    if (c.saved) {
      EXPECT_EQ(FileBytes(c.chosen), details);
    }
  }
}

TEST(FatalError, SystemErrorsAddTheSystemsTextAndMacrosTheirSource) {
  ScopedFakeEnv env;
  env->box_answers = {box::kIdNo, box::kIdNo, box::kIdYes};
  EXPECT_TRUE(Ends([] { FatalSystemError("F", "f.cc", 3, 5); }));
  EXPECT_TRUE(Ends([] { FatalSystemError("F", "f.cc", 3, 0xDEAD); }));
  const std::uint32_t line = __LINE__ + 1;
  EXPECT_TRUE(Ends([] { BF_FATAL_ERROR("M"); }));
  const std::string heading = "F\n\nWindows reports the following:\n";
  EXPECT_EQ(env->boxes.at(0).text, Question(heading + "Access is denied.\r\n"));
  EXPECT_EQ(env->boxes.at(1).text, Question(heading));
  EXPECT_NE(env->boxes.at(3).text.find(
                "File name: tests/win32/fatal_error_test.cc\nLine Number: " +
                std::to_string(line) + "\n"),
            std::string::npos);
}

// Paths in memory: 'd' a directory, 'f' a file, 'e' one whose status cannot
// be had, 'n' a missing directory whose creation is refused.
class DirectoryEnv : public FakeEnv {
 public:
  PathStatus Stat(const std::string& path) override {
    const char kind = paths.count(path) ? paths[path] : '-';
    PathStatus status;
    status.error = kind == 'e' ? 13 : kind == 'd' || kind == 'f' ? 0 : ENOENT;
    status.is_directory = kind == 'd';
    return status;
  }
  bool NewDirectory(const std::string& path) override {
    if (paths.count(path)) return false;
    created.push_back(path);
    return paths.emplace(path, 'd').second;
  }
  std::map<std::string, char> paths;
  std::vector<std::string> created;
};

TEST(CreateDirectoryPath, CreatesTheMissingLevelsOrReports) {
  const std::string bad = "Unable to create directory '";
  const std::string invalid = "' because the path is invalid.";
  const std::string file = "' because a file with that name already exists.";
  const std::string deep = "C:\\" + std::string(250, 'd');
  const std::string full = deep + "\\abcdef";  // 260 characters
  const std::string x300 = "C:\\" + std::string(300, 'x');
  const struct {
    std::string path;
    std::map<std::string, char> paths;
    std::vector<std::string> created;
    std::string fatal;  // the report's message; empty: none
    bool one = false;   // CreateOneDirectory instead
  } cases[] = {
      {"C:/A//B\\", {}, {"C:\\A", "C:\\A\\B"}, ""},
      {"C:\\A\\B", {{"C:\\A", 'd'}}, {"C:\\A\\B"}, ""},
      {"C:\\", {}, {}, ""},
      {"\\\\S\\SHARE\\DIR", {}, {"\\\\S\\SHARE\\DIR"}, ""},
      {"\\A\\B", {}, {"A\\B"}, ""},  // one backslash: relative
      {full + "\\", {{deep, 'd'}}, {full}, ""},
      {"", {}, {}, bad + invalid},
      {"\\\\S\\", {}, {}, bad + "\\\\S\\" + invalid},
      {"\\\\\\", {}, {}, bad + "\\\\\\" + invalid},
      {full + "\\x", {}, {}, bad + full + "\\x" + invalid},
      {"C:\\A\\B", {{"C:\\A", 'f'}}, {}, bad + "C:\\A" + file},
      {"C:\\A\\B\\C",
       {{"C:\\A\\B", 'e'}},
       {"C:\\A"},
       "Unable to determine if the directory 'C:\\A\\B' already exists."},
      {"C:\\A\\B",
       {{"C:\\A\\B", 'n'}},
       {"C:\\A"},
       "Unable to create the directory 'C:\\A\\B'.\n\nWindows reports the "
       "following:\nAccess is denied.\r\n"},
      {"C:\\A\\\\\\", {}, {"C:\\A"}, "", true},
      {x300, {}, {x300.substr(0, 260)}, "", true},
  };
  for (const auto& c : cases) {
    DirectoryEnv env;
    Env* previous = SetCurrentEnv(&env);
    env.paths = c.paths;
    env.last_error = 5;
    const bool ended = Ends([&c] {
      c.one ? CreateOneDirectory(c.path) : CreateDirectoryPath(c.path);
    });
    SetCurrentEnv(previous);
    EXPECT_EQ(ended, !c.fatal.empty()) << c.path;
    EXPECT_EQ(env.created, c.created) << c.path;
    EXPECT_EQ(env.boxes.empty() ? "" : env.boxes[0].text,
              c.fatal.empty() ? "" : Question(c.fatal));
  }
}

}  // namespace
}  // namespace brackenfold
