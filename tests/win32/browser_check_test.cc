// The running-browser warning against scripted top-level windows and answers.
#include "win32/browser_check.h"

#include <gtest/gtest.h>

#include "tests/support/fake_env.h"
#include "win32/host_window.h"

namespace brackenfold {
namespace {

const char kOpening[] =
    "It appears that the following web browers are currently running on your "
    "system:\n\n";
const char kNetscapeLine[] =
    "    + Netscape Navigator or Netscape Communicator\n";
const char kExplorerLine[] = "    + Internet Explorer\n";
const char kClosing[] =
    "\nIt is strongly recommended that you quit all other software running on "
    "this system before continuing installation. It is especially important "
    "to quit all web browsers to ensure proper integration. After quitting all "
    "web browsers, hit OK to continue.";
const char kSecond[] =
    "It still appears that one or more web browsers is running. It is "
    "possible that some other program is being misidentified as a web "
    "browser, and that it is safe to continue. Confirm that all web browsers "
    "have been closed before continuing.";

constexpr unsigned kWarningFlags = box::kOkCancel | box::kIconExclamation;

bool NetscapeTitle(const std::string& title) {
  ScopedFakeEnv env;
  env->windows = {{"Other", "Desk"}, {title, "SomeClass"}};
  return IsNetscapeRunning();
}

TEST(BrowserCheckTest, NetscapeIsRecognisedByTitle) {
  EXPECT_TRUE(NetscapeTitle("Netscape"));
  EXPECT_TRUE(NetscapeTitle("Netscape Communicator"));
  EXPECT_TRUE(NetscapeTitle("Netscape-Mail"));
  EXPECT_TRUE(NetscapeTitle("Home Page - Netscape"));
  EXPECT_TRUE(NetscapeTitle("A - Netscape window"));
  EXPECT_FALSE(NetscapeTitle("My Netscape bookmarks"));
  EXPECT_FALSE(NetscapeTitle("Page -Netscape"));
  EXPECT_FALSE(NetscapeTitle("netscape"));
  EXPECT_FALSE(NetscapeTitle(" Netscape"));
  EXPECT_FALSE(NetscapeTitle("Page - NETSCAPE"));
}

TEST(BrowserCheckTest, NetscapeTitleIsReadIntoA1024ByteBuffer) {
  // " - Netscape" beyond the 1023 characters GetWindowTextA returns is
  // never seen.
  EXPECT_TRUE(NetscapeTitle(std::string(1012, 'x') + " - Netscape"));
  EXPECT_FALSE(NetscapeTitle(std::string(1013, 'x') + " - Netscape"));
}

TEST(BrowserCheckTest, WalkStopsAtTheFirstNetscapeWindow) {
  ScopedFakeEnv env;
  env->windows = {{"Netscape", "A"}, {"x - Netscape", "B"}};
  bool found = false;
  EXPECT_FALSE(NetscapeWindowProc(reinterpret_cast<WindowHandle>(1), &found));
  EXPECT_TRUE(found);
  found = false;
  env->windows = {{"Explorer", "A"}};
  EXPECT_TRUE(NetscapeWindowProc(reinterpret_cast<WindowHandle>(1), &found));
  EXPECT_FALSE(found);
}

TEST(BrowserCheckTest, InternetExplorerIsRecognisedByClass) {
  ScopedFakeEnv env;
  env->windows = {{"Microsoft Internet Explorer", "NotIE"}};
  EXPECT_FALSE(IsInternetExplorerRunning());
  env->windows.push_back({"", "IEFrame"});
  EXPECT_TRUE(IsInternetExplorerRunning());
}

TEST(BrowserCheckTest, NoBrowserShowsNothing) {
  ScopedFakeEnv env;
  env->windows = {{"Vantorium 3D Player", "GLBSInstall"}};
  EXPECT_TRUE(CheckRunningBrowsers());
  EXPECT_TRUE(env->boxes.empty());
}

TEST(BrowserCheckTest, FirstWarningListsTheBrowsersFound) {
  struct Case {
    std::vector<FakeWindow> windows;
    std::string list;
  } cases[] = {
      {{{"", "IEFrame"}}, kExplorerLine},
      {{{"Page - Netscape", "X"}}, kNetscapeLine},
      {{{"", "IEFrame"}, {"Netscape", "X"}},
       std::string(kNetscapeLine) + kExplorerLine},
  };
  for (const Case& c : cases) {
    ScopedFakeEnv env;
    env->windows = c.windows;
    // Quit the browsers while the first warning is up.
    env->box_answers = {box::kIdOk};
    env->before_enum = [](FakeEnv& e, int pass) {
      if (pass == 1) e.windows.clear();
    };
    EXPECT_TRUE(CheckRunningBrowsers());
    ASSERT_EQ(env->boxes.size(), 1u);
    const RecordedBox& b = env->boxes[0];
    EXPECT_EQ(b.text, std::string(kOpening) + c.list + kClosing);
    EXPECT_EQ(b.caption, "Warning");
    EXPECT_EQ(b.flags, kWarningFlags);
    EXPECT_EQ(b.owner, HostWindow());
  }
}

TEST(BrowserCheckTest, BrowsersStillRunningGiveOneSecondWarning) {
  ScopedFakeEnv env;
  env->windows = {{"", "IEFrame"}};
  env->box_answers = {box::kIdOk, box::kIdOk};
  EXPECT_TRUE(CheckRunningBrowsers());
  ASSERT_EQ(env->boxes.size(), 2u);
  EXPECT_EQ(env->boxes[1].text, kSecond);
  EXPECT_EQ(env->boxes[1].caption, "Warning");
  EXPECT_EQ(env->boxes[1].flags, kWarningFlags);
}

TEST(BrowserCheckTest, SecondLookSkipsExplorerWhenNetscapeIsStillThere) {
  ScopedFakeEnv env;
  env->windows = {{"Netscape", "X"}};
  env->box_answers = {box::kIdOk, box::kIdOk};
  EXPECT_TRUE(CheckRunningBrowsers());
  EXPECT_EQ(env->boxes.size(), 2u);
  EXPECT_EQ(env->enum_passes, 2);
}

TEST(BrowserCheckTest, CancelThenNoRepeatsTheSameWarning) {
  ScopedFakeEnv env;
  env->windows = {{"", "IEFrame"}};
  env->box_answers = {box::kIdCancel, box::kIdNo, box::kIdCancel,
                      box::kIdNo,     box::kIdOk, box::kIdOk};
  EXPECT_TRUE(CheckRunningBrowsers());
  ASSERT_EQ(env->boxes.size(), 6u);
  const std::string first = env->boxes[0].text;
  EXPECT_EQ(env->boxes[2].text, first);
  EXPECT_EQ(env->boxes[4].text, first);
  EXPECT_EQ(env->boxes[1].caption, "Are you sure?");
  EXPECT_EQ(env->boxes[1].owner, HostWindow());
  EXPECT_EQ(env->boxes[5].text, kSecond);
  // The browsers were looked for once before and once after the first warning.
  EXPECT_EQ(env->enum_passes, 2);
}

TEST(BrowserCheckTest, CancelConfirmedOnEitherWarningStops) {
  {
    ScopedFakeEnv env;
    env->windows = {{"", "IEFrame"}};
    env->box_answers = {box::kIdCancel, box::kIdYes};
    EXPECT_FALSE(CheckRunningBrowsers());
    EXPECT_EQ(env->boxes.size(), 2u);
  }
  {
    ScopedFakeEnv env;
    env->windows = {{"", "IEFrame"}};
    env->box_answers = {box::kIdOk, box::kIdCancel, box::kIdYes};
    EXPECT_FALSE(CheckRunningBrowsers());
    ASSERT_EQ(env->boxes.size(), 3u);
    EXPECT_EQ(env->boxes[1].text, kSecond);
  }
}

TEST(BrowserCheckTest, ABoxThatCannotBeShownDoesNotLoopForEver) {
  ScopedFakeEnv env;
  env->windows = {{"", "IEFrame"}};
  env->box_answers = {0, 0};
  EXPECT_TRUE(CheckRunningBrowsers());
  EXPECT_EQ(env->boxes.size(), 2u);
}

}  // namespace
}  // namespace brackenfold
