#include "store/store_locations.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "tests/store/store_test_support.h"
#include "tests/support/fake_env.h"

namespace brackenfold {
namespace {

constexpr const char kProductKey[] = "SOFTWARE\\Vantorium\\Vantorium Player\\";
constexpr const char kWindowsKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr const char kUserShellFolders[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell "
    "Folders";
constexpr const char kShellFolders[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

class StoreLocationsTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetStoreLocations(); }
  void TearDown() override {
    ResetStoreLocations();
    EXPECT_EQ(env_->OpenRegKeyCount(), 0u);  // every key was closed
  }

  std::string System() {
    FilePath p("untouched");
    return LookupStore(kSystemStoreName, &p) ? p.text() : "(absent)";
  }
  std::string User() {
    FilePath p("untouched");
    return LookupStore(kUserStoreName, &p) ? p.text() : "(absent)";
  }
  // A directory that can never be made: its parent is a file.
  std::string Unmakeable() {
    WriteWholeFile(dir_ / "plainfile", "");
    return dir_ / "plainfile/sub";
  }

  ScopedFakeEnv env_;
  ScratchDirectory dir_;
};

TEST_F(StoreLocationsTest, SystemDataPathOnAnExistingDirectoryIsUsedAsIs) {
  std::filesystem::create_directory(dir_ / "Data");
  env_->SetRegString(kHkeyLocalMachine, kProductKey, "SystemDataPath",
                     dir_ / "Data");
  env_->SetRegString(kHkeyLocalMachine, kWindowsKey, "ProgramFilesDir",
                     dir_ / "pf/");
  DetermineStoreLocations();
  EXPECT_EQ(System(), dir_ / "Data/components/");
  EXPECT_FALSE(PathExists(dir_ / "Data/components"));  // not created here
  EXPECT_FALSE(PathExists(dir_ / "pf"));
}

TEST_F(StoreLocationsTest, SystemDataPathIsCreatedWhenMissing) {
  env_->SetRegString(kHkeyLocalMachine, kProductKey, "SystemDataPath",
                     dir_ / "new/deep/");
  DetermineStoreLocations();
  EXPECT_EQ(System(), dir_ / "new/deep/components/");
  EXPECT_TRUE(PathExists(dir_ / "new/deep"));
}

TEST_F(StoreLocationsTest, UnmakeableSystemDataPathFallsBackToProgramFiles) {
  env_->SetRegString(kHkeyLocalMachine, kProductKey, "SystemDataPath",
                     Unmakeable());
  env_->SetRegString(kHkeyLocalMachine, kWindowsKey, "ProgramFilesDir",
                     dir_ / "Program Files/");
  DetermineStoreLocations();
  EXPECT_EQ(System(),
            dir_ / "Program Files/Vantorium/Vantorium Player/components/");
  EXPECT_TRUE(PathExists(dir_ / "Program Files/Vantorium/Vantorium Player"));
  EXPECT_FALSE(
      PathExists(dir_ / "Program Files/Vantorium/Vantorium Player/components"));
}

TEST_F(StoreLocationsTest, ProgramFilesValueThatIsNoDirectoryLosesItsLastPart) {
  // Not an existing directory and no trailing separator: taken as a file
  // name, so "missing" is dropped before "Vantorium" is appended.
  env_->SetRegString(kHkeyLocalMachine, kWindowsKey, "ProgramFilesDir",
                     dir_ / "missing");
  DetermineStoreLocations();
  EXPECT_EQ(System(), dir_ / "Vantorium/Vantorium Player/components/");
}

TEST_F(StoreLocationsTest, NoMachineSourceLeavesTheSystemStoreAbsent) {
  env_->SetRegString(kHkeyLocalMachine, kWindowsKey, "ProgramFilesDir",
                     Unmakeable() + "/");
  env_->SetRegString(kHkeyCurrentUser, kShellFolders, "AppData",
                     dir_ / "appdata/");
  DetermineStoreLocations();
  EXPECT_EQ(System(), "(absent)");
  EXPECT_EQ(User(), dir_ / "appdata/Vantorium/Vantorium Player/components/");
}

TEST_F(StoreLocationsTest, UserShellFoldersValueIsExpanded) {
  env_->environment["USERPROFILE"] = dir_ / "profile";
  env_->SetRegString(kHkeyCurrentUser, kUserShellFolders, "AppData",
                     "%USERPROFILE%/Application Data/", reg::kExpandSz);
  env_->SetRegString(kHkeyCurrentUser, kShellFolders, "AppData",
                     dir_ / "other/");
  DetermineStoreLocations();
  EXPECT_EQ(User(), dir_ /
                        "profile/Application Data/Vantorium/Vantorium "
                        "Player/components/");
  EXPECT_TRUE(PathExists(dir_ / "profile/Application Data/Vantorium"));
  EXPECT_FALSE(PathExists(dir_ / "other"));
}

TEST_F(StoreLocationsTest, UnmakeableUserShellFoldersFallsBackToShellFolders) {
  env_->SetRegString(kHkeyCurrentUser, kUserShellFolders, "AppData",
                     Unmakeable() + "/");
  env_->SetRegString(kHkeyCurrentUser, kShellFolders, "AppData",
                     dir_ / "shell/");
  DetermineStoreLocations();
  EXPECT_EQ(User(), dir_ / "shell/Vantorium/Vantorium Player/components/");
}

TEST_F(StoreLocationsTest, MissingAppDataLeavesOnlyTheUserStoreAbsent) {
  env_->SetRegString(kHkeyLocalMachine, kWindowsKey, "ProgramFilesDir",
                     dir_ / "pf/");
  env_->AddRegKey(kHkeyCurrentUser, kUserShellFolders);  // key, no value
  DetermineStoreLocations();
  EXPECT_EQ(User(), "(absent)");
  EXPECT_EQ(System(), dir_ / "pf/Vantorium/Vantorium Player/components/");
}

TEST_F(StoreLocationsTest, EmptyValuesAreNoDirectory) {
  // Empty values would put the stores under the current directory.
  env_->SetRegString(kHkeyLocalMachine, kProductKey, "SystemDataPath", "");
  env_->SetRegString(kHkeyLocalMachine, kWindowsKey, "ProgramFilesDir", "");
  env_->environment["EMPTY"] = "";
  env_->SetRegString(kHkeyCurrentUser, kUserShellFolders, "AppData", "%EMPTY%",
                     reg::kExpandSz);
  env_->SetRegString(kHkeyCurrentUser, kShellFolders, "AppData",
                     dir_ / "shell/");
  DetermineStoreLocations();
  EXPECT_EQ(System(), "(absent)");
  EXPECT_EQ(User(), dir_ / "shell/Vantorium/Vantorium Player/components/");
  EXPECT_FALSE(PathExists("Vantorium"));
}

TEST_F(StoreLocationsTest, FirstRunOfTheProcessStaysInForce) {
  env_->SetRegString(kHkeyLocalMachine, kProductKey, "SystemDataPath",
                     dir_ / "first/");
  DetermineStoreLocations();
  env_->SetRegString(kHkeyLocalMachine, kProductKey, "SystemDataPath",
                     dir_ / "second/");
  env_->SetRegString(kHkeyCurrentUser, kShellFolders, "AppData",
                     dir_ / "appdata/");
  DetermineStoreLocations();
  EXPECT_EQ(System(), dir_ / "first/components/");
  EXPECT_EQ(User(), "(absent)");
}

TEST_F(StoreLocationsTest, TableKeepsTheFirstRegistrationOfAName) {
  RegisterStore(FilePath("/a/"), "S");
  RegisterStore(FilePath("/b/"), "S");
  RegisterMissingStore("S");
  RegisterMissingStore("M");
  RegisterStore(FilePath("/c/"), "M");
  FilePath p("untouched");
  ASSERT_TRUE(LookupStore("S", &p));
  EXPECT_EQ(p.text(), "/a/");
  EXPECT_FALSE(LookupStore("M", &p));
  EXPECT_FALSE(LookupStore("s", &p));  // names are case-sensitive
  EXPECT_FALSE(LookupStore("unknown", &p));
  EXPECT_EQ(p.text(), "/a/");  // untouched by the failed lookups
}

TEST_F(StoreLocationsTest, ReadRegistryStringTakesAnyValueAsText) {
  std::string text = "before";
  EXPECT_FALSE(
      ReadRegistryString(kHkeyLocalMachine, "SOFTWARE\\None", "X", &text));
  env_->AddRegKey(kHkeyLocalMachine, "SOFTWARE\\K");
  EXPECT_FALSE(
      ReadRegistryString(kHkeyLocalMachine, "SOFTWARE\\K", "X", &text));
  EXPECT_EQ(text, "before");

  env_->SetRegString(kHkeyLocalMachine, "SOFTWARE\\K", "S", "value");
  ASSERT_TRUE(ReadRegistryString(kHkeyLocalMachine, "SOFTWARE\\K", "S", &text));
  EXPECT_EQ(text, "value");
  env_->SetRegString(kHkeyLocalMachine, "SOFTWARE\\K", "E", "%X%",
                     reg::kExpandSz);
  ASSERT_TRUE(ReadRegistryString(kHkeyLocalMachine, "SOFTWARE\\K", "E", &text));
  EXPECT_EQ(text, "%X%");  // not expanded here
  env_->SetRegDword(kHkeyLocalMachine, "SOFTWARE\\K", "D", 0x00434241u);
  ASSERT_TRUE(ReadRegistryString(kHkeyLocalMachine, "SOFTWARE\\K", "D", &text));
  EXPECT_EQ(text, "ABC");  // the bytes up to the first zero
  env_->SetRegDword(kHkeyLocalMachine, "SOFTWARE\\K", "F", 0x44434241u);
  ASSERT_TRUE(ReadRegistryString(kHkeyLocalMachine, "SOFTWARE\\K", "F", &text));
  EXPECT_EQ(text, "ABCD");  // no terminator stored: still ends
}

TEST_F(StoreLocationsTest, ExpandEnvironmentReplacesKnownReferences) {
  env_->environment["USERPROFILE"] = "C:\\Users\\me";
  EXPECT_EQ(ExpandEnvironment("%USERPROFILE%\\AppData"),
            "C:\\Users\\me\\AppData");
  EXPECT_EQ(ExpandEnvironment("%UNKNOWN%\\x"), "%UNKNOWN%\\x");
  EXPECT_EQ(ExpandEnvironment(""), "");
  const std::string long_text(5000, 'x');
  EXPECT_EQ(ExpandEnvironment(long_text), long_text);
}

}  // namespace
}  // namespace brackenfold
