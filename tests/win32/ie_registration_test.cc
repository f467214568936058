#include "win32/ie_registration.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/support/fake_env.h"

namespace brackenfold {
namespace {

const char kVtvm[] =
    "SOFTWARE\\Microsoft\\Internet Explorer\\Plugins\\Extension\\.vtvm";
const char kKfvm[] =
    "SOFTWARE\\Microsoft\\Internet Explorer\\Plugins\\Extension\\.kfvm";
const char kMime[] =
    "SOFTWARE\\Microsoft\\Internet Explorer\\Plugins\\MIME\\"
    "application/x-Vantorium-3D-Applet";
const char kLibrary[] = "C:\\Program Files\\Vantorium\\NPAXVnt.dll";
const char kNoInformation[] = "No information on error available.";

std::string Sz(const std::string& text) { return text + std::string(1, '\0'); }

// FakeEnv whose n-th value write (1-based) fails.
class ValueFailingEnv : public FakeEnv {
 public:
  long SetRegValue(RegKey key, const std::string& name, std::uint32_t type,
                   const void* data, std::uint32_t size) override {
    if (++writes == fail_write) return win_error::kAccessDenied;
    return FakeEnv::SetRegValue(key, name, type, data, size);
  }
  int writes = 0;
  int fail_write = 0;
};

class IeRegistrationTest : public ::testing::Test {
 protected:
  IeRegistrationTest() : previous_(SetCurrentEnv(&env_)) {}
  ~IeRegistrationTest() override { SetCurrentEnv(previous_); }

  std::map<std::string, FakeRegValue> Values(const char* key) {
    return env_.RegValues(kHkeyLocalMachine, key);
  }
  // Makes the key step on key fail even after the delete-and-retry.
  void BlockKey(const char* key) {
    env_.AddRegKey(kHkeyLocalMachine, key);
    env_.deny_create_keys.insert(std::string("HKLM\\") + key);
    env_.undeletable_keys.insert(std::string("HKLM\\") + key);
  }

  ValueFailingEnv env_;
  Env* previous_;
};

TEST_F(IeRegistrationTest, SuccessWritesExactlyTheSevenValuesSilently) {
  EXPECT_TRUE(RegisterInternetExplorerPlugin(kLibrary));
  EXPECT_TRUE(env_.boxes.empty());
  for (const char* key : {kVtvm, kKfvm}) {
    auto values = Values(key);
    ASSERT_EQ(3u, values.size()) << key;
    EXPECT_EQ(Sz(kLibrary), values["location"].data);
    EXPECT_EQ(Sz("application/x-Vantorium-3D-Applet"),
              values["content type"].data);
    EXPECT_EQ(Sz("Vantorium, Inc.'s Vantorium3D"), values[""].data);
    for (const auto& v : values) EXPECT_EQ(reg::kSz, v.second.type);
  }
  auto mime = Values(kMime);
  ASSERT_EQ(1u, mime.size());
  EXPECT_EQ(Sz(".vtvm"), mime["extension"].data);
  EXPECT_EQ(reg::kSz, mime["extension"].type);
  EXPECT_EQ(0u, env_.OpenRegKeyCount());
}

TEST_F(IeRegistrationTest, OverwritesOurValuesAndLeavesOthers) {
  env_.SetRegString(kHkeyLocalMachine, kVtvm, "Location", "D:\\old.dll");
  env_.SetRegString(kHkeyLocalMachine, kVtvm, "Other", "kept");
  std::string detail;
  EXPECT_TRUE(WriteInternetExplorerKeys(kLibrary, &detail));
  EXPECT_EQ(kNoInformation, detail);
  auto values = Values(kVtvm);
  EXPECT_EQ(Sz(kLibrary), values["location"].data);
  EXPECT_EQ(Sz("kept"), values["other"].data);
}

TEST_F(IeRegistrationTest, DeniedKeyIsReplacedAndRegistrationSucceeds) {
  env_.SetRegString(kHkeyLocalMachine, std::string(kKfvm) + "\\Stale", "x",
                    "y");
  env_.deny_create_keys = {std::string("HKLM\\") + kKfvm};
  std::string detail;
  EXPECT_TRUE(WriteInternetExplorerKeys(kLibrary, &detail));
  EXPECT_FALSE(
      env_.HasRegKey(kHkeyLocalMachine, std::string(kKfvm) + "\\Stale"));
  EXPECT_EQ(3u, Values(kKfvm).size());
}

// Each step that can fail, what it leaves in the detail text, and how many of
// the seven values were written before it.
struct FailingStep {
  const char* blocked_key;  // a key step that fails, or
  int failing_write;        // the value write that fails (1-based)
  const char* detail;
  std::size_t written_before;
};

class IeRegistrationStepTest
    : public IeRegistrationTest,
      public ::testing::WithParamInterface<FailingStep> {};

TEST_P(IeRegistrationStepTest, StopsAtTheFailingStepAndKeepsEarlierEntries) {
  const FailingStep& step = GetParam();
  if (step.blocked_key != nullptr) BlockKey(step.blocked_key);
  env_.fail_write = step.failing_write;
  std::string detail;
  EXPECT_FALSE(WriteInternetExplorerKeys(kLibrary, &detail));
  EXPECT_EQ(step.detail, detail);
  EXPECT_EQ(step.written_before,
            Values(kVtvm).size() + Values(kKfvm).size() + Values(kMime).size());
  EXPECT_EQ(0u, env_.OpenRegKeyCount());
  EXPECT_TRUE(env_.boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, IeRegistrationStepTest,
    ::testing::Values(
        FailingStep{kVtvm, 0,
                    "Unable to setup registry correctly (ie_extensions_vtvm).",
                    0},
        FailingStep{nullptr, 1,
                    "Unable to setup registry correctly "
                    "(ie_extensions_vtvm_location)",
                    0},
        FailingStep{nullptr, 2,
                    "Unable to setup registry correctly "
                    "(ie_extensions_vtvm_ctype)",
                    1},
        FailingStep{nullptr, 3,
                    "Unable to setup registry correctly "
                    "(ie_extensions_vtvm_default)",
                    2},
        FailingStep{kKfvm, 0,
                    "Unable to setup registry correctly (ie_extensions_kfvm).",
                    3},
        FailingStep{nullptr, 4,
                    "Unable to setup registry correctly "
                    "(ie_extensions_kfvm_location)",
                    3},
        FailingStep{nullptr, 5,
                    "Unable to setup registry correctly "
                    "(ie_extensions_kfvm_ctype)",
                    4},
        FailingStep{nullptr, 6,
                    "Unable to setup registry correctly "
                    "(ie_extensions_kfvm_default)",
                    5},
        FailingStep{kMime, 0, "Unable to setup registry correctly (ie_mime).",
                    6},
        FailingStep{nullptr, 7,
                    "Unable to setup registry correctly (ie_mime_extension)",
                    6}));

const char kFailureText[] =
    "The installer failed to install the Vantorium3D player for Internet "
    "Explorer. The most likely cause is that Internet Explorer is not "
    "installed, or is an out of date version. If you want to use Vantorium in "
    "Internet Explorer, install a recent version and rerun this setup. If you "
    "are installing the Netscape Plugin, installation will continue.\n\nWould "
    "you like information on the specific problem encountered?";

TEST_F(IeRegistrationTest, FailureAnsweredYesShowsTheFailingStep) {
  BlockKey(kKfvm);
  env_.box_answers = {box::kIdYes};
  EXPECT_FALSE(RegisterInternetExplorerPlugin(kLibrary));
  ASSERT_EQ(2u, env_.boxes.size());
  EXPECT_EQ(nullptr, env_.boxes[0].owner);
  EXPECT_EQ(kFailureText, env_.boxes[0].text);
  EXPECT_EQ("Unable to set up Internet Explorer", env_.boxes[0].caption);
  EXPECT_EQ(0x114u, env_.boxes[0].flags);  // Yes/No, stop icon, No by default
  EXPECT_EQ(nullptr, env_.boxes[1].owner);
  EXPECT_EQ("Unable to setup registry correctly (ie_extensions_kfvm).",
            env_.boxes[1].text);
  EXPECT_EQ("Details on problem", env_.boxes[1].caption);
  EXPECT_EQ(0x0u, env_.boxes[1].flags);
  EXPECT_EQ(3u, Values(kVtvm).size());
}

TEST_F(IeRegistrationTest, FailureAnsweredNoShowsNoDetails) {
  BlockKey(kKfvm);
  env_.box_answers = {box::kIdNo};
  EXPECT_FALSE(RegisterInternetExplorerPlugin(kLibrary));
  ASSERT_EQ(1u, env_.boxes.size());
  EXPECT_EQ(kFailureText, env_.boxes[0].text);
}

}  // namespace
}  // namespace brackenfold
