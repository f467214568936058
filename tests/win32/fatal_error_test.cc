#include "win32/fatal_error.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/fake_env.h"

namespace brackenfold {
namespace {

const char kIntro[] =
    "An unexpected error has occurred. Installation is unable to continue. "
    "Details on the error follow.\n\n";
const char kQuestion[] =
    "\n\nAdditional information on this error can be written to a file of "
    "your chosing. This file will be helpful if you report this issue to "
    "Vantorium. Would you like to create this file?";

std::string Question(const std::string& message) {
  return kIntro + message + kQuestion;
}

std::string Details(const std::string& message, const std::string& file,
                    const std::string& line) {
  return Question(message) +
         "\n\nAdditional information:\n\nFile name: " + file +
         "\nLine Number: " + line + "\nBuild Date: " + kFatalReportBuildDate +
         "\nBuild Time: " + kFatalReportBuildTime;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class FatalErrorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/bf-fatal-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::remove((dir_ + "/details.txt").c_str());
    rmdir(dir_.c_str());
  }

  // Runs the report and answers with the exit status it ended with.
  template <typename F>
  int Run(F report) {
    try {
      report();
    } catch (const FakeExit& e) {
      return e.status;
    }
    ADD_FAILURE() << "the report returned";
    return -1;
  }

  void SaveAs(const std::string& path) {
    env_->save_dialog = [path](const SaveFileRequest&, std::string* chosen) {
      *chosen = path;
      return true;
    };
  }

  ScopedFakeEnv env_;
  std::string dir_;
};

TEST_F(FatalErrorTest, AnswerNoEndsWithStatusOneWithoutSaving) {
  env_->box_answers = {box::kIdNo};
  EXPECT_EQ(1, Run([] { FatalError("Disk on fire.", "win32/x.cc", 12); }));
  ASSERT_EQ(1u, env_->boxes.size());
  EXPECT_EQ(nullptr, env_->boxes[0].owner);
  EXPECT_EQ(Question("Disk on fire."), env_->boxes[0].text);
  EXPECT_EQ("Vantorium Installer Error", env_->boxes[0].caption);
  EXPECT_EQ(0x114u, env_->boxes[0].flags);  // Yes/No, stop icon, No by default
  EXPECT_TRUE(env_->save_requests.empty());
  EXPECT_EQ(1, env_->exit_status);
}

TEST_F(FatalErrorTest, AnswerYesSavesTheWholeReport) {
  const std::string path = dir_ + "/details.txt";
  SaveAs(path);
  env_->box_answers = {box::kIdYes};
  EXPECT_EQ(1, Run([] { FatalError("Broken.", "win32/brackenfold.cc", 345); }));
  EXPECT_EQ(1u, env_->boxes.size());
  ASSERT_EQ(1u, env_->save_requests.size());
  const SaveFileRequest& request = env_->save_requests[0];
  EXPECT_EQ("Text Files (*.txt)", request.filter_label);
  EXPECT_EQ("*.txt", request.filter_pattern);
  EXPECT_EQ("c:\\vantorium_installer_error.txt", request.initial_name);
  EXPECT_EQ("Save Error Details As", request.title);
  EXPECT_EQ(kOfnOverwritePrompt, request.flags);
  EXPECT_EQ(Details("Broken.", "win32/brackenfold.cc", "345"), ReadAll(path));
}

TEST_F(FatalErrorTest, ExistingFileIsOverwrittenNotAppended) {
  const std::string path = dir_ + "/details.txt";
  {
    std::ofstream old(path);
    old << std::string(5000, 'x');
  }
  SaveAs(path);
  Run([] { FatalError("M", "f.cc", 1); });
  EXPECT_EQ(Details("M", "f.cc", "1"), ReadAll(path));
}

TEST_F(FatalErrorTest, AnyAnswerButNoOffersTheFile) {
  // A failing box answers 0; the user still gets the chance to save.
  const std::string path = dir_ + "/details.txt";
  SaveAs(path);
  env_->box_answers = {0};
  EXPECT_EQ(1, Run([] { FatalError("M", "f.cc", 1); }));
  EXPECT_EQ(Details("M", "f.cc", "1"), ReadAll(path));
}

// Every way the details do not reach a file ends in the fallback box that
// carries the whole report.
struct UnsavedCase {
  const char* name;
  bool dialog_accepts;
  const char* chosen;  // relative to the test directory unless absolute
};

class FatalErrorUnsavedTest
    : public FatalErrorTest,
      public ::testing::WithParamInterface<UnsavedCase> {};

TEST_P(FatalErrorUnsavedTest, ShowsTheReportInsteadAndEnds) {
  const UnsavedCase& c = GetParam();
  std::string chosen = c.chosen;
  if (!chosen.empty() && chosen[0] != '/') chosen = dir_ + "/" + chosen;
  env_->save_dialog = [&](const SaveFileRequest&, std::string* out) {
    *out = chosen;
    return c.dialog_accepts;
  };
  EXPECT_EQ(1, Run([] { FatalError("Lost.", "win32/n.cc", 77); }));
  ASSERT_EQ(2u, env_->boxes.size());
  const RecordedBox& fallback = env_->boxes[1];
  EXPECT_EQ(nullptr, fallback.owner);
  EXPECT_EQ("Unable to save error details to file.\n\n\n" +
                Details("Lost.", "win32/n.cc", "77"),
            fallback.text);
  EXPECT_EQ("Vantorium Installer Error", fallback.caption);
  EXPECT_EQ(0x10u, fallback.flags);
  EXPECT_EQ(1, env_->exit_status);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FatalErrorUnsavedTest,
    ::testing::Values(UnsavedCase{"Cancelled", false, ""},
                      UnsavedCase{"NoSuchDirectory", true, "missing/d.txt"},
                      UnsavedCase{"EmptyName", true, ""},
                      UnsavedCase{"DiskFull", true, "/dev/full"}),
    [](const ::testing::TestParamInfo<UnsavedCase>& param) {
      return std::string(param.param.name);
    });

TEST_F(FatalErrorTest, LineNumberIsPlainUnsignedDecimal) {
  const struct {
    std::uint32_t line;
    const char* text;
  } cases[] = {{0, "0"}, {7, "7"}, {4294967295u, "4294967295"}};
  for (const auto& c : cases) {
    FakeEnv& env = env_.env();
    env.boxes.clear();
    env.box_answers = {box::kIdYes};
    env.save_dialog = nullptr;
    Run([&] { FatalError("M", "f.cc", c.line); });
    ASSERT_EQ(2u, env.boxes.size());
    const std::string& text = env.boxes[1].text;
    EXPECT_NE(std::string::npos,
              text.find(std::string("\nLine Number: ") + c.text + "\n"))
        << c.text;
  }
}

TEST_F(FatalErrorTest, SystemErrorAppendsTheSystemText) {
  env_->box_answers = {box::kIdNo};
  Run([] { FatalSystemError("Copy failed", "f.cc", 3, 5); });
  ASSERT_EQ(1u, env_->boxes.size());
  EXPECT_EQ(Question("Copy failed\n\nWindows reports the following:\n"
                     "Access is denied.\r\n"),
            env_->boxes[0].text);
}

TEST_F(FatalErrorTest, UnknownSystemErrorLeavesTheHeadingAlone) {
  env_->box_answers = {box::kIdNo};
  Run([] { FatalSystemError("Copy failed", "f.cc", 3, 0xDEAD); });
  ASSERT_EQ(1u, env_->boxes.size());
  EXPECT_EQ(Question("Copy failed\n\nWindows reports the following:\n"),
            env_->boxes[0].text);
  EXPECT_EQ("", FormatSystemError(0xDEAD));
}

TEST_F(FatalErrorTest, MacroNamesTheRaisingFileRelativeToTheRepository) {
  env_->box_answers = {box::kIdYes};
  const std::uint32_t line = __LINE__ + 1;
  Run([] { BF_FATAL_ERROR("M"); });
  ASSERT_EQ(2u, env_->boxes.size());
  EXPECT_NE(std::string::npos,
            env_->boxes[1].text.find(
                "File name: tests/win32/fatal_error_test.cc\nLine Number: " +
                std::to_string(line) + "\n"));
}

}  // namespace
}  // namespace brackenfold
