// FilePath on the native build, where "/" is the separator.
#include "store/file_path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>

#include "tests/support/fake_env.h"

namespace brackenfold {
namespace {

class FilePathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/bf_fp_XXXXXX";
    dir_ = mkdtemp(pattern);
    dir_ += "/";
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string dir_;
};

TEST_F(FilePathTest, ParentAndFileNameFollowTheSeparatorRule) {
  FilePath p("/a/b/");
  p.ToParent();
  EXPECT_EQ(p.text(), "/a");
  FilePath root("/");
  root.ToParent();
  EXPECT_EQ(root.text(), "");
  FilePath single("name");
  single.ToParent();
  EXPECT_EQ(single.text(), "name");
  EXPECT_EQ(FilePath("/a/b/").FileName(), "b");
  EXPECT_EQ(FilePath("/a/b.txt").FileName(), "b.txt");
  EXPECT_EQ(FilePath("name").FileName(), "name");
  EXPECT_TRUE(FilePath("x/").EndsWithSeparator());
  EXPECT_FALSE(FilePath("").EndsWithSeparator());
}

TEST_F(FilePathTest, AppendTreatsMissingLastComponentAsAFileName) {
  FilePath existing(dir_.substr(0, dir_.size() - 1));  // no trailing "/"
  existing.AppendFile("a.txt");
  EXPECT_EQ(existing.text(), dir_ + "a.txt");
  FilePath file(dir_ + "old.txt");
  file.AppendFile("a.txt");
  EXPECT_EQ(file.text(), dir_ + "a.txt");
  FilePath empty;
  empty.AppendDirectory("x");
  EXPECT_EQ(empty.text(), "x/");
  FilePath d(dir_);
  d.AppendDirectory("x/");
  EXPECT_EQ(d.text(), dir_ + "x/");
  FilePath nested(dir_);
  nested.AppendFile("sub/x.dll");
  EXPECT_EQ(nested.text(), dir_ + "sub/x.dll");
}

TEST_F(FilePathTest, DirectoriesAreMadeButFilesAreNotReplaced) {
  FilePath deep(dir_ + "a/b/c/");
  EXPECT_FALSE(deep.MakeDirectory());
  EXPECT_TRUE(deep.EnsureDirectory());
  bool is_dir = false;
  EXPECT_TRUE(deep.Exists(&is_dir));
  EXPECT_TRUE(is_dir);
  Write(dir_ + "plain", "data");
  EXPECT_FALSE(FilePath(dir_ + "plain").MakeDirectory());
  EXPECT_FALSE(FilePath(dir_ + "plain/below/").EnsureDirectory());
  EXPECT_EQ(Read(dir_ + "plain"), "data");
  EXPECT_FALSE(
      FilePath("relative-name-without-separator-xyz").EnsureDirectory());
}

TEST_F(FilePathTest, RemoveFileKeepsDirectoriesAndAcceptsNothing) {
  EXPECT_TRUE(FilePath(dir_ + "missing").RemoveFile());
  EXPECT_FALSE(FilePath(dir_).RemoveFile());
  Write(dir_ + "f", "1");
  EXPECT_TRUE(FilePath(dir_ + "f").RemoveFile());
  EXPECT_FALSE(FilePath(dir_ + "f").Exists());
}

TEST_F(FilePathTest, CopyFileToHonoursOverwriteAndCopiesLargeFiles) {
  std::string big(100000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<char>(i * 7);
  Write(dir_ + "src", big);
  Write(dir_ + "dst", "old");
  EXPECT_FALSE(
      FilePath(dir_ + "src").CopyFileTo(FilePath(dir_ + "dst"), false));
  EXPECT_EQ(Read(dir_ + "dst"), "old");
  EXPECT_TRUE(FilePath(dir_ + "src").CopyFileTo(FilePath(dir_ + "dst"), true));
  EXPECT_EQ(Read(dir_ + "dst"), big);
  EXPECT_FALSE(FilePath(dir_ + "none").CopyFileTo(FilePath(dir_ + "d2"), true));
  EXPECT_FALSE(FilePath(dir_ + "d2").Exists());
}

TEST_F(FilePathTest, CopyFileToTheSameFileKeepsItsBytes) {
  // Reached by the same path, or through a hard link: counted as copied,
  // never emptied by opening it for writing.
  Write(dir_ + "lib.dll", "MZ plug-in");
  ASSERT_EQ(::link((dir_ + "lib.dll").c_str(), (dir_ + "link.dll").c_str()), 0);
  for (const char* name : {"lib.dll", "link.dll"}) {
    EXPECT_TRUE(
        FilePath(dir_ + "lib.dll").CopyFileTo(FilePath(dir_ + name), true));
    EXPECT_EQ(Read(dir_ + "lib.dll"), "MZ plug-in") << name;
  }
  int error = 0;
  EXPECT_FALSE(
      FilePath(dir_ + "none").CopyFileTo(FilePath(dir_ + "d2"), true, &error));
  EXPECT_EQ(error, ENOENT);
}

TEST_F(FilePathTest, MakeUniqueFileCountsFromTheClockAndSkipsTakenNames) {
  ScopedFakeEnv fake;
  fake->now = 0x3C000000u;
  FilePath a(dir_);
  ASSERT_TRUE(a.MakeUniqueFile("bin", std::string(" txt "), false));
  EXPECT_EQ(a.text(), dir_ + "bin3C000000.txt");
  FilePath b(dir_);
  ASSERT_TRUE(b.MakeUniqueFile("bin", std::string(".txt"), false));
  EXPECT_EQ(b.text(), dir_ + "bin3C000001.txt");  // next counter, same time
  FilePath c(dir_);
  ASSERT_TRUE(c.MakeUniqueFile("x", std::nullopt, false));
  EXPECT_EQ(c.text(), dir_ + "x3C000000");
  FilePath wrap(dir_);
  fake->now = 0xFFFFFFFFu;
  ASSERT_TRUE(wrap.MakeUniqueFile("w", std::string(""), false));
  ASSERT_TRUE(FilePath(dir_).MakeUniqueFile("w", std::string(""), false));
  EXPECT_TRUE(FilePath(dir_ + "w00000000").Exists());  // wrapped at 2^32
  FilePath missing(dir_ + "nope/");
  EXPECT_FALSE(missing.MakeUniqueFile("x", std::nullopt, false));
  FilePath temp(dir_);
  ASSERT_TRUE(temp.MakeUniqueFile("bftmp", std::nullopt, true));
  EXPECT_TRUE(temp.RemoveFile());
}

TEST_F(FilePathTest, OpenStreamRefusesTheEmptyPath) {
  EXPECT_EQ(FilePath().OpenStream("rb"), nullptr);
}

}  // namespace
}  // namespace brackenfold
