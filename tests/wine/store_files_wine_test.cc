// The store's file calls on Windows itself (the i686 build under 32-bit
// Wine): a name that is there is never opened by an exclusive create, a link
// or junction on the way into the store is refused, and a blob opened for the
// check keeps writers and renamers out until it is closed after the install.
#include <windows.h>
// gtest after windows.h.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/env.h"

namespace brackenfold {
namespace {

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

void WriteAll(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

class StoreFilesWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    ASSERT_NE(GetTempPathA(MAX_PATH, temp), 0u);
    root_ = std::string(temp) + "bf-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() +
            "-" + std::to_string(GetCurrentProcessId());
    store_ = root_ + "\\store";
    outside_ = root_ + "\\outside";
    ASSERT_TRUE(CreateDirectoryA(root_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(store_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(outside_.c_str(), nullptr));
  }

  std::string root_, store_, outside_;
  Env& env_ = *Env::Default();
};

TEST_F(StoreFilesWineTest, ExclusiveCreateNeverOpensWhatIsThere) {
  WriteAll(store_ + "\\a.dll", "old");
  std::FILE* stream = nullptr;
  EXPECT_EQ(env_.CreateFileIn(store_, "a.dll", &stream), kErrnoExists);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(ReadAll(store_ + "\\a.dll"), "old");

  // A new name is created and written through the handle that made it.
  ASSERT_EQ(env_.CreateFileIn(store_, "b.dll", &stream), 0);
  ASSERT_NE(stream, nullptr);
  std::fputs("new", stream);
  std::fclose(stream);
  EXPECT_EQ(ReadAll(store_ + "\\b.dll"), "new");
}

TEST_F(StoreFilesWineTest, LinkOrJunctionOnTheWayIsRefused) {
  const std::string link = store_ + "\\sub";
  // Some Wine versions answer CreateSymbolicLinkA with success and make
  // nothing; the refusal can only be shown where the link exists.
  if (!CreateSymbolicLinkA(link.c_str(), outside_.c_str(),
                           SYMBOLIC_LINK_FLAG_DIRECTORY) ||
      GetFileAttributesA(link.c_str()) == INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << "this Wine makes no directory links";
  }
  std::FILE* stream = nullptr;
  EXPECT_EQ(env_.CreateFileIn(store_, "sub\\x.dll", &stream), kErrnoLink);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(GetFileAttributesA((outside_ + "\\x.dll").c_str()),
            INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(env_.KindIn(store_, "sub"), EntryKind::kOther);
}

TEST_F(StoreFilesWineTest, BlobOpenedForTheCheckShutsWritersOutUntilClosed) {
  const std::string blob = root_ + "\\viewer.blob";
  const std::string other = root_ + "\\other.blob";
  WriteAll(blob, "signed bytes");
  WriteAll(other, "other bytes");
  std::FILE* held = env_.OpenStreamDenyWrite(blob, "rb");
  ASSERT_NE(held, nullptr);

  HANDLE writer =
      CreateFileA(blob.c_str(), GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  EXPECT_FALSE(
      MoveFileExA(other.c_str(), blob.c_str(), MOVEFILE_REPLACE_EXISTING));

  std::fclose(held);
  EXPECT_TRUE(
      MoveFileExA(other.c_str(), blob.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(ReadAll(blob), "other bytes");
}

}  // namespace
}  // namespace brackenfold
