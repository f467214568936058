// FilePath on Windows, under Wine with the real Win32 Env: drive roots,
// backslash paths, and directory creation against the real file system.
#include <gtest/gtest.h>
#include <process.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/env.h"
#include "store/file_path.h"

namespace brackenfold {
namespace {

// A fresh directory under the system's temporary directory, ending in "\".
class WinFilePath : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CurrentEnv().TempDirectory(&temp_));
    ASSERT_EQ(temp_.back(), '\\');
    static int counter = 0;
    dir_ = temp_ + "bf_path_" + std::to_string(_getpid()) + "_" +
           std::to_string(++counter) + "\\";
    ASSERT_TRUE(FilePath(dir_).MakeDirectory());
  }
  void Write(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fputs(text.c_str(), f);
    std::fclose(f);
  }
  std::string Read(const std::string& path) {
    std::string text;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return text;
    char buffer[256];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) {
      text.append(buffer, n);
    }
    std::fclose(f);
    return text;
  }
  std::string temp_;
  std::string dir_;
};

TEST_F(WinFilePath, SeparatorIsBackslash) { EXPECT_EQ(kPathSeparator, '\\'); }

TEST_F(WinFilePath, DriveRootIsADirectoryAndItsOwnTop) {
  bool is_directory = false;
  EXPECT_TRUE(FilePath("C:\\").Exists(&is_directory));
  EXPECT_TRUE(is_directory);
  FilePath root("C:\\");
  EXPECT_EQ(root.FileName(), "C:");
  root.ToParent();
  EXPECT_EQ(root.PathText(), "C:");
  FilePath file("C:\\windows");
  file.ToParent();
  EXPECT_EQ(file.PathText(), "C:");
}

TEST_F(WinFilePath, AppendFileOnAnExistingDirectoryGoesInsideIt) {
  std::string no_slash = dir_.substr(0, dir_.size() - 1);
  FilePath path(no_slash);
  path.AppendFile("a.txt");
  EXPECT_EQ(path.PathText(), dir_ + "a.txt");

  FilePath with_slash(dir_);
  with_slash.AppendDirectory("sub");
  EXPECT_EQ(with_slash.PathText(), dir_ + "sub\\");
}

TEST_F(WinFilePath, AppendFileOnAFileReplacesItsName) {
  Write(dir_ + "first.txt", "x");
  FilePath path(dir_ + "first.txt");
  path.AppendFile("second.txt");
  EXPECT_EQ(path.PathText(), dir_ + "second.txt");
}

TEST_F(WinFilePath, EnsureDirectoryMakesEveryMissingLevel) {
  FilePath deep(dir_ + "a\\b\\c");
  EXPECT_TRUE(deep.EnsureDirectory());
  bool is_directory = false;
  EXPECT_TRUE(FilePath(dir_ + "a\\b\\c\\").Exists(&is_directory));
  EXPECT_TRUE(is_directory);
  EXPECT_TRUE(deep.EnsureDirectory());              // already there
  EXPECT_FALSE(FilePath(dir_ + "a").RemoveFile());  // never a directory
}

TEST_F(WinFilePath, EnsureDirectoryUnderAMissingDriveFails) {
  EXPECT_FALSE(FilePath("Q:\\Vantorium\\Data").EnsureDirectory());
  EXPECT_FALSE(FilePath("Q:\\").Exists());
}

TEST_F(WinFilePath, EnsureDirectoryOverAFileFails) {
  Write(dir_ + "taken", "x");
  EXPECT_FALSE(FilePath(dir_ + "taken").EnsureDirectory());
  EXPECT_FALSE(FilePath(dir_ + "taken\\below").EnsureDirectory());
}

TEST_F(WinFilePath, CopyAndUniqueFilesWorkWithBackslashes) {
  Write(dir_ + "source.dll", "MZ bytes");
  FilePath target(dir_ + "NPAXVnt.dll");
  EXPECT_TRUE(FilePath(dir_ + "source.dll").CopyFileTo(target, true));
  EXPECT_TRUE(target.Exists());
  EXPECT_FALSE(FilePath(dir_ + "source.dll").CopyFileTo(target, false));

  // The same file under another letter case, its short 8.3 name, or a hard
  // link is counted as copied and keeps its bytes.
  Write(dir_ + "Long Library Name.dll", "MZ installed");
  char short_name[MAX_PATH] = "";
  ASSERT_NE(GetShortPathNameA((dir_ + "Long Library Name.dll").c_str(),
                              short_name, MAX_PATH),
            0u);
  ASSERT_NE(std::string(short_name), dir_ + "Long Library Name.dll");
  ASSERT_TRUE(CreateHardLinkA((dir_ + "hard.dll").c_str(),
                              (dir_ + "Long Library Name.dll").c_str(),
                              nullptr));
  for (const std::string& other :
       {dir_ + "LONG LIBRARY NAME.DLL", std::string(short_name),
        dir_ + "hard.dll"}) {
    EXPECT_TRUE(FilePath(dir_ + "Long Library Name.dll")
                    .CopyFileTo(FilePath(other), true))
        << other;
    EXPECT_EQ(Read(dir_ + "Long Library Name.dll"), "MZ installed") << other;
  }

  FilePath unique(dir_);
  ASSERT_TRUE(unique.MakeUniqueFile("CMP", std::string("dll"), false));
  EXPECT_EQ(unique.PathText().rfind(dir_ + "CMP", 0), 0u);
  EXPECT_EQ(unique.PathText().size(), dir_.size() + 3 + 8 + 4);
  EXPECT_TRUE(unique.Exists());
}

}  // namespace
}  // namespace brackenfold
