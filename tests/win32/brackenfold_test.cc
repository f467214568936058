#include "win32/brackenfold.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "store/index_file.h"
#include "tests/component/component_test_support.h"
#include "tests/support/fake_env.h"
#include "win32/blob_list.h"
#include "win32/host_window.h"

namespace brackenfold {
namespace {

const char kPlayerKey[] = "SOFTWARE\\Vantorium\\Vantorium Player\\";

std::vector<std::string> Parse(const char* text) {
  std::vector<FilePath> list;
  ParseBlobList(text, &list);
  std::vector<std::string> out;
  for (const FilePath& p : list) out.push_back(p.text());
  return out;
}

TEST(ParseBlobList, SplitsAtEveryCommaAndKeepsEverythingElse) {
  const std::string long_item(300, 'x');
  const std::string long_list = "a.blob," + long_item + ",b.blob";
  struct Case {
    const char* text;
    std::vector<std::string> paths;
  } cases[] = {
      {"C:\\one.blob", {"C:\\one.blob"}},
      {"a.blob,b.blob", {"a.blob", "b.blob"}},
      {"a.blob,", {"a.blob", ""}},
      {",a.blob", {"", "a.blob"}},
      {",,", {"", "", ""}},
      {"", {""}},
      {"a.blob, b.blob ", {"a.blob", " b.blob "}},
      {" , ", {" ", " "}},
      {"\"q,r\"", {"\"q", "r\""}},
      {long_list.c_str(), {"a.blob", long_item, "b.blob"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Parse(c.text), c.paths) << "text: \"" << c.text << "\"";
  }
}

TEST(ParseBlobList, NullTextCountsAsEmpty) {
  EXPECT_EQ(Parse(nullptr), std::vector<std::string>{""});
}

TEST(ParseBlobList, AppendsToWhatTheListHolds) {
  std::vector<FilePath> list{FilePath("first")};
  ParseBlobList("x,y", &list);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].text(), "first");
  EXPECT_EQ(list[2].text(), "y");
}

WindowHandle Handle(std::size_t one_based_index) {
  return reinterpret_cast<WindowHandle>(one_based_index);
}

TEST(HostWindowWait, TakesOnlyTheExactTitleAndClass) {
  ScopedFakeEnv env;
  env->windows = {
      {"Vantorium 3D Player", "GLBSInstallX"},
      {"Vantorium 3D Player", "glbsinstall"},
      {"vantorium 3d player", "GLBSInstall"},
      {"Vantorium 3D Player ", "GLBSInstall"},
      {"Vantorium 3D", "GLBSInstall"},
      {"", "GLBSInstall"},
      {"Vantorium 3D Player", "GLBSInstall"},
  };
  WaitForHostWindow();
  EXPECT_EQ(HostWindow(), Handle(7));
}

TEST(HostWindowWait, FirstMatchingWindowWins) {
  ScopedFakeEnv env;
  env->windows = {{"Other", "Other"},
                  {"Vantorium 3D Player", "GLBSInstall"},
                  {"Vantorium 3D Player", "GLBSInstall"}};
  WaitForHostWindow();
  EXPECT_EQ(HostWindow(), Handle(2));
}

TEST(HostWindowWait, PresentAtOnceStillSleepsOnce) {
  ScopedFakeEnv env;
  env->windows = {{"Vantorium 3D Player", "GLBSInstall"}};
  WaitForHostWindow();
  EXPECT_EQ(env->enum_passes, 1);
  EXPECT_EQ(env->sleeps, std::vector<std::uint32_t>{100});
}

TEST(HostWindowWait, PollsEvery100MsUntilTheWindowAppears) {
  ScopedFakeEnv env;
  env->windows = {{"Vantorium 3D Player", "NotTheHost"}};
  env->before_enum = [](FakeEnv& e, int pass) {
    if (pass == 4) e.windows.push_back({"Vantorium 3D Player", "GLBSInstall"});
  };
  WaitForHostWindow();
  EXPECT_EQ(HostWindow(), Handle(2));
  EXPECT_EQ(env->enum_passes, 5);
  EXPECT_EQ(env->sleeps, std::vector<std::uint32_t>(5, 100));
}

TEST(HostWindowWait, ForgetsTheWindowOfAnEarlierCall) {
  ScopedFakeEnv env;
  HostWindow() = Handle(99);
  env->before_enum = [](FakeEnv& e, int pass) {
    if (pass == 1) e.windows.push_back({"Vantorium 3D Player", "GLBSInstall"});
  };
  WaitForHostWindow();
  EXPECT_EQ(HostWindow(), Handle(1));
  EXPECT_EQ(env->enum_passes, 2);
}

TEST(HostWindowEnumProc, StoresTheMatchAndStopsOnlyThen) {
  ScopedFakeEnv env;
  env->windows = {{"Vantorium 3D Player", "Other"},
                  {"Vantorium 3D Player", "GLBSInstall"}};
  WindowHandle found = nullptr;
  EXPECT_TRUE(HostWindowEnumProc(Handle(1), &found));
  EXPECT_EQ(found, nullptr);
  EXPECT_FALSE(HostWindowEnumProc(Handle(2), &found));
  EXPECT_EQ(found, Handle(2));
}

TEST(ConfirmCancel, AsksAreYouSureAndOnlyYesConfirms) {
  ScopedFakeEnv env;
  env->box_answers = {box::kIdYes, box::kIdNo};
  EXPECT_TRUE(ConfirmCancel(Handle(5)));
  EXPECT_FALSE(ConfirmCancel(nullptr));
  ASSERT_EQ(env->boxes.size(), 2u);
  EXPECT_EQ(env->boxes[0].owner, Handle(5));
  EXPECT_EQ(env->boxes[1].owner, nullptr);
  EXPECT_EQ(env->boxes[0].caption, "Are you sure?");
  EXPECT_EQ(env->boxes[0].text,
            "If you cancel, the Vantorium plug-in will not be installed and "
            "you will not be able to view Vantorium applets. Are you sure you "
            "wish to cancel?");
  EXPECT_EQ(env->boxes[0].flags, 0x24u);
}

TEST(ComponentInstallError, ShowsErrorBoxWithoutOwner) {
  ScopedFakeEnv env;
  ShowComponentInstallError();
  ASSERT_EQ(env->boxes.size(), 1u);
  EXPECT_EQ(env->boxes[0].owner, nullptr);
  EXPECT_EQ(env->boxes[0].caption, "Error");
  EXPECT_EQ(env->boxes[0].text,
            "Fatal error during install.  Could not install component files.");
  EXPECT_EQ(env->boxes[0].flags, box::kOk);
}

// A real scratch directory, an empty store table and the host window present.
class InstallSequence : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    library_ = scratch_.Join("plugin.dll");
    ASSERT_TRUE(WriteFileBytes(library_, "MZ plug-in bytes"));
    env_->windows = {{"Vantorium 3D Player", "GLBSInstall"}};
  }

  std::optional<FakeRegValue> SystemDataPath() {
    return env_->RegValue(kHkeyLocalMachine, kPlayerKey, "SystemDataPath");
  }
  static std::string Terminated(const std::string& text) {
    return text + std::string(1, '\0');
  }

  std::string library_;
};

TEST_F(InstallSequence, FillsAndRecordsTheDataDirectory) {
  const std::string blob =
      WriteBlob("viewer.blob", ComponentFiles("viewer", 3));
  const std::string data = scratch_.Join("Vantorium/Player Data");
  EXPECT_EQ(DoInstall(data.c_str(), blob.c_str(), library_.c_str()), 0);
  EXPECT_EQ(HostWindow(), Handle(1));
  EXPECT_EQ(FileBytes(data + "/NPAXVnt.dll"), "MZ plug-in bytes");
  EXPECT_NE(FileBytes(data + "/components/" + kIndexFileName).find("VIEWER"),
            std::string::npos);
  auto value = SystemDataPath();
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, reg::kSz);
  EXPECT_EQ(value->data, Terminated(data));
  EXPECT_TRUE(env_->boxes.empty());
  EXPECT_EQ(env_->OpenRegKeyCount(), 0u);
}

TEST_F(InstallSequence, RecordsTheDataDirectoryTextUnchanged) {
  const std::string blob =
      WriteBlob("viewer.blob", ComponentFiles("viewer", 3));
  const std::string data = scratch_.Join("Data/");
  EXPECT_EQ(DoInstall(data.c_str(), blob.c_str(), library_.c_str()), 0);
  EXPECT_EQ(SystemDataPath()->data, Terminated(data));
  EXPECT_EQ(FileBytes(data + "NPAXVnt.dll"), "MZ plug-in bytes");
}

TEST_F(InstallSequence, FailedComponentsShowOneErrorAndKeepEarlierSteps) {
  const std::string data = scratch_.Join("Data");
  const std::string missing = scratch_.Join("missing.blob");
  EXPECT_EQ(DoInstall(data.c_str(), missing.c_str(), library_.c_str()), -1);
  ASSERT_EQ(env_->boxes.size(), 1u);
  EXPECT_EQ(env_->boxes[0].caption, "Error");
  EXPECT_EQ(FileBytes(data + "/NPAXVnt.dll"), "MZ plug-in bytes");
  EXPECT_TRUE(SystemDataPath().has_value());
}

TEST_F(InstallSequence, RecordsAfterTheWaitAndBeforeTheBrowserCheck) {
  // The value is not there while the host window is awaited, and is there
  // when the browser check looks and asks. Internet Explorer is running; the
  // user cancels the warning and confirms.
  struct Watch : FakeEnv {
    std::vector<bool> seen;
    bool Recorded() {
      return RegValue(kHkeyLocalMachine, kPlayerKey, "SystemDataPath")
          .has_value();
    }
    WindowHandle FindWindowOfClass(const std::string& name) override {
      seen.push_back(Recorded());
      return FakeEnv::FindWindowOfClass(name);
    }
    int ShowMessageBox(WindowHandle owner, const std::string& text,
                       const std::string& caption, unsigned flags) override {
      seen.push_back(Recorded());
      return FakeEnv::ShowMessageBox(owner, text, caption, flags);
    }
  } watch;
  Env* previous = SetCurrentEnv(&watch);
  watch.windows = {{"Vantorium 3D Player", "GLBSInstall"},
                   {"Microsoft Internet Explorer", "IEFrame"}};
  bool recorded_during_wait = true;
  watch.before_enum = [&](FakeEnv&, int pass) {
    if (pass == 0) recorded_during_wait = watch.Recorded();
  };
  watch.box_answers = {box::kIdCancel, box::kIdYes};
  const std::string data = scratch_.Join("Data");
  int result = DoInstall(data.c_str(), "", library_.c_str());
  SetCurrentEnv(previous);

  EXPECT_EQ(result, -1);
  EXPECT_FALSE(recorded_during_wait);
  EXPECT_TRUE(watch.Recorded());
  EXPECT_FALSE(watch.seen.empty());
  for (bool recorded : watch.seen) EXPECT_TRUE(recorded);
  EXPECT_FALSE(PathExists(data + "/NPAXVnt.dll"));
}

TEST_F(InstallSequence, AnUnmakeableDataDirectoryPutsNothingInItsParent) {
  // The data directory's name is taken by a file: nothing can be made in it,
  // and nothing may land beside it instead.
  const std::string data = scratch_.Join("Data");
  ASSERT_TRUE(WriteFileBytes(data, "a file"));
  const std::string blob =
      WriteBlob("viewer.blob", ComponentFiles("viewer", 3));
  EXPECT_EQ(DoInstall(data.c_str(), blob.c_str(), library_.c_str()), -1);
  EXPECT_FALSE(PathExists(scratch_.Join("NPAXVnt.dll")));
  EXPECT_FALSE(PathExists(scratch_.Join("components")));
  EXPECT_EQ(FileBytes(data), "a file");
  EXPECT_EQ(SystemDataPath()->data, Terminated(data));
}

TEST_F(InstallSequence, FailedPluginCopyIsShownAndRegistersNothing) {
  // The library cannot be read (null counts as the empty path): the user is
  // told what was to be copied where and why, Internet Explorer is not
  // pointed at a missing file, and no component is installed.
  const std::string blob =
      WriteBlob("viewer.blob", ComponentFiles("viewer", 3));
  const std::string data = scratch_.Join("Data");
  const std::string missing = scratch_.Join("gone.dll");
  for (const char* library :
       {missing.c_str(), static_cast<const char*>(nullptr)}) {
    env_->boxes.clear();
    EXPECT_EQ(DoInstall(data.c_str(), blob.c_str(), library), -1);
    ASSERT_EQ(env_->boxes.size(), 1u);
    const RecordedBox& shown = env_->boxes[0];
    EXPECT_EQ(shown.owner, nullptr);
    EXPECT_EQ(shown.caption, "Unable to install the Vantorium plug-in");
    EXPECT_EQ(shown.flags, box::kOk | box::kIconHand);
    EXPECT_NE(shown.text.find("From: " + std::string(library ? library : "") +
                              "\nTo: " + data + "/NPAXVnt.dll\n"),
              std::string::npos)
        << shown.text;
    EXPECT_NE(shown.text.find(std::strerror(ENOENT)), std::string::npos);
  }
  EXPECT_EQ(SystemDataPath()->data, Terminated(data));
  EXPECT_FALSE(PathExists(data + "/NPAXVnt.dll"));
  EXPECT_FALSE(env_->HasRegKey(
      kHkeyLocalMachine,
      "SOFTWARE\\Microsoft\\Internet Explorer\\Plugins\\Extension\\.vtvm"));
  EXPECT_FALSE(PathExists(data + "/components"));
}

}  // namespace
}  // namespace brackenfold
