#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/fake_env.h"
#include "win32/directory_path.h"

namespace brackenfold {
namespace {

const char kSourceModule[] = "win32/directory_path.cc";

// FakeEnv with a small Windows file system in memory: the paths that exist,
// and the ones whose status or creation fails.
class DirectoryEnv : public FakeEnv {
 public:
  PathStatus Stat(const std::string& path) override {
    PathStatus status;
    auto error = stat_errors.find(path);
    auto entry = entries.find(path);
    if (error != stat_errors.end()) {
      status.error = error->second;
    } else if (entry == entries.end()) {
      status.error = kErrnoNoEntry;
    } else {
      status.is_directory = entry->second;
    }
    return status;
  }
  bool NewDirectory(const std::string& path) override {
    if (refused.count(path)) {
      last_error = 5;
      return false;
    }
    entries[path] = true;
    created.push_back(path);
    return true;
  }

  std::map<std::string, bool> entries;  // path: is a directory
  std::map<std::string, int> stat_errors;
  std::set<std::string> refused;
  std::vector<std::string> created;
};

struct PathCase {
  const char* name;
  std::string path;
  std::vector<std::string> existing_directories;
  std::vector<std::string> created;
  std::string fatal_message;  // empty: no report
};

std::string Invalid(const std::string& path) {
  return "Unable to create directory '" + path +
         "' because the path is invalid.";
}

class CreateDirectoryPathTest : public ::testing::TestWithParam<PathCase> {
 protected:
  CreateDirectoryPathTest() : previous_(SetCurrentEnv(&env_)) {}
  ~CreateDirectoryPathTest() override { SetCurrentEnv(previous_); }

  // Runs call; answers the report's message, or "" when none was raised.
  template <typename F>
  std::string FatalMessageOf(F call) {
    env_.box_answers = {box::kIdYes};  // then the Save-As is cancelled
    try {
      call();
    } catch (const FakeExit& e) {
      EXPECT_EQ(1, e.status);
      EXPECT_EQ(2u, env_.boxes.size());
      const std::string& text = env_.boxes.at(0).text;
      const std::string head = "Details on the error follow.\n\n";
      const std::size_t begin = text.find(head) + head.size();
      const std::size_t end = text.find("\n\nAdditional information on");
      EXPECT_NE(std::string::npos,
                env_.boxes.back().text.find(std::string("File name: ") +
                                            kSourceModule + "\n"));
      return text.substr(begin, end - begin);
    }
    EXPECT_TRUE(env_.boxes.empty());
    return "";
  }

  DirectoryEnv env_;
  Env* previous_;
};

TEST_P(CreateDirectoryPathTest, CreatesMissingLevelsOrReports) {
  const PathCase& c = GetParam();
  for (const std::string& d : c.existing_directories) env_.entries[d] = true;
  EXPECT_EQ(c.fatal_message,
            FatalMessageOf([&] { CreateDirectoryPath(c.path); }));
  EXPECT_EQ(c.created, env_.created);
}

const std::string kLong = "C:\\" + std::string(250, 'd') + "\\abcdef";

INSTANTIATE_TEST_SUITE_P(
    Paths, CreateDirectoryPathTest,
    ::testing::Values(
        PathCase{"TwoLevels", "C:\\A\\B\\", {}, {"C:\\A", "C:\\A\\B"}, ""},
        PathCase{"ForwardAndDoubledSlashes",
                 "C:/A//B",
                 {},
                 {"C:\\A", "C:\\A\\B"},
                 ""},
        PathCase{"OnlyMissingLevels",
                 "C:\\A\\B\\C",
                 {"C:\\A"},
                 {"C:\\A\\B", "C:\\A\\B\\C"},
                 ""},
        PathCase{"AllExist", "C:\\A\\B", {"C:\\A", "C:\\A\\B"}, {}, ""},
        PathCase{"DriveRoot", "C:\\", {}, {}, ""},
        PathCase{"NetworkShareTakenAsExisting",
                 "\\\\SERVER\\SHARE\\DIR",
                 {},
                 {"\\\\SERVER\\SHARE\\DIR"},
                 ""},
        PathCase{"NetworkShareAlone", "\\\\SERVER\\SHARE\\", {}, {}, ""},
        PathCase{"OneLeadingBackslashIsRelative", "\\A\\B", {}, {"A\\B"}, ""},
        PathCase{"Empty", "", {}, {}, Invalid("")},
        PathCase{
            "ServerWithoutShare", "\\\\SERVER", {}, {}, Invalid("\\\\SERVER")},
        PathCase{"ServerAndBackslash",
                 "\\\\SERVER\\",
                 {},
                 {},
                 Invalid("\\\\SERVER\\")},
        PathCase{"SeparatorsOnly", "\\\\\\", {}, {}, Invalid("\\\\\\")},
        PathCase{
            "LongerThanMaxPath", kLong + "\\x", {}, {}, Invalid(kLong + "\\x")},
        PathCase{"MaxPathAndTrailingBackslash",
                 kLong + "\\",
                 {"C:\\" + std::string(250, 'd')},
                 {kLong},
                 ""}),
    [](const ::testing::TestParamInfo<PathCase>& param) {
      return std::string(param.param.name);
    });

TEST_F(CreateDirectoryPathTest, PlainFileInTheWayIsReported) {
  env_.entries["C:\\A"] = false;
  EXPECT_EQ(
      "Unable to create directory 'C:\\A' because a file with that name "
      "already exists.",
      FatalMessageOf([] { CreateDirectoryPath("C:\\A\\B"); }));
  EXPECT_TRUE(env_.created.empty());
}

TEST_F(CreateDirectoryPathTest, UnknownStatusIsReported) {
  env_.stat_errors["C:\\A\\B"] = 13;  // EACCES
  EXPECT_EQ("Unable to determine if the directory 'C:\\A\\B' already exists.",
            FatalMessageOf([] { CreateDirectoryPath("C:\\A\\B\\C"); }));
  EXPECT_EQ(std::vector<std::string>{"C:\\A"}, env_.created);
}

TEST_F(CreateDirectoryPathTest, RefusedCreationCarriesTheSystemText) {
  env_.refused = {"C:\\A\\B"};
  EXPECT_EQ(
      "Unable to create the directory 'C:\\A\\B'.\n\nWindows reports the "
      "following:\nAccess is denied.\r\n",
      FatalMessageOf([] { CreateDirectoryPath("C:\\A\\B\\C"); }));
  EXPECT_EQ(std::vector<std::string>{"C:\\A"}, env_.created);
}

TEST_F(CreateDirectoryPathTest, OneDirectoryLosesTrailingBackslashes) {
  EXPECT_EQ("", FatalMessageOf([] { CreateOneDirectory("C:\\A\\\\\\"); }));
  EXPECT_EQ(std::vector<std::string>{"C:\\A"}, env_.created);
  env_.entries["C:\\F"] = false;
  EXPECT_EQ(
      "Unable to create directory 'C:\\F' because a file with that name "
      "already exists.",
      FatalMessageOf([] { CreateOneDirectory("C:\\F\\"); }));
}

TEST_F(CreateDirectoryPathTest, OneDirectoryWorksOnAtMostMaxPath) {
  const std::string path = "C:\\" + std::string(300, 'x');
  FatalMessageOf([&] { CreateOneDirectory(path); });
  ASSERT_EQ(1u, env_.created.size());
  EXPECT_EQ(path.substr(0, 260), env_.created[0]);
}

}  // namespace
}  // namespace brackenfold
