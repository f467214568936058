// Registry keys made, replaced and deleted; the Internet Explorer entries
// written with them; Navigator's directory read from the registry.
#include "win32/registry_helper.h"

#include <gtest/gtest.h>

#include "tests/support/fake_env.h"
#include "win32/ie_registration.h"
#include "win32/netscape_helper.h"

namespace brackenfold {
namespace {

using namespace std::string_literals;

const char kKey[] = "SOFTWARE\\T\\Plugin";
const std::string kIe = "SOFTWARE\\Microsoft\\Internet Explorer\\Plugins\\";
const std::string kVtvm = kIe + "Extension\\.vtvm";
const std::string kKfvm = kIe + "Extension\\.kfvm";
const std::string kMime = kIe + "MIME\\application/x-Vantorium-3D-Applet";

// FakeEnv whose n-th key creation or value write fails, and whose key
// enumeration can fail.
class RegistryEnv : public FakeEnv {
 public:
  long CreateRegKey(RegKey root, const std::string& subkey, std::uint32_t a,
                    RegKey* key) override {
    if (++creations == fail_creation) return win_error::kInvalidParameter;
    return FakeEnv::CreateRegKey(root, subkey, a, key);
  }
  long SetRegValue(RegKey key, const std::string& name, std::uint32_t type,
                   const void* data, std::uint32_t size) override {
    if (++writes == fail_write) return win_error::kAccessDenied;
    return FakeEnv::SetRegValue(key, name, type, data, size);
  }
  long EnumRegKey(RegKey key, std::uint32_t i, char* name,
                  std::uint32_t* size) override {
    if (fail_enum) return win_error::kAccessDenied;
    return FakeEnv::EnumRegKey(key, i, name, size);
  }
  int creations = 0, fail_creation = 0, writes = 0, fail_write = 0;
  bool fail_enum = false;
};

class RegistryHelperTest : public ::testing::Test {
 protected:
  RegistryHelperTest() : previous_(SetCurrentEnv(&env_)) {
    env_.SetRegString(kHkeyLocalMachine, kKey, "Old", "value");
    env_.AddRegKey(kHkeyLocalMachine, std::string(kKey) + "\\A\\A1");
    env_.AddRegKey(kHkeyLocalMachine, std::string(kKey) + "\\A\\A2");
    env_.AddRegKey(kHkeyLocalMachine, "SOFTWARE\\T\\Sibling");
  }
  ~RegistryHelperTest() override { SetCurrentEnv(previous_); }

  // CreateKey's exception texts; "" when it created or opened the key.
  std::string Create(const std::string& description, bool delete_on_denied) {
    RegKey key = 0;
    try {
      RegistryHelper::CreateKey(kHkeyLocalMachine, kKey, &key, description,
                                delete_on_denied);
    } catch (const RegistryHelperException& e) {
      return e.context() + "|" + e.system_text();
    }
    EXPECT_EQ(env_.CloseRegKey(key), 0);
    return "";
  }
  bool Has(const std::string& key) {
    return env_.HasRegKey(kHkeyLocalMachine, key);
  }
  std::size_t Values(const std::string& key) {
    return env_.RegValues(kHkeyLocalMachine, key).size();
  }

  RegistryEnv env_;
  Env* previous_;
};

TEST_F(RegistryHelperTest, CreateKeyOpensOrReplacesADeniedKey) {
  const std::string denied = "|Access is denied.\r\n";
  EXPECT_EQ(Create("", true), "");  // an existing key keeps everything
  env_.deny_create_keys = {"HKLM\\" + std::string(kKey)};
  EXPECT_EQ(Create("IE's key", false),
            "Attempting to create or open IE's key" + denied);
  EXPECT_EQ(Values(kKey), 1u);
  env_.undeletable_keys = {"HKLM\\" + std::string(kKey) + "\\A\\A2"};
  EXPECT_EQ(Create("", true), "Attempting to create or open " + denied);
  EXPECT_TRUE(Has(kKey));
  EXPECT_EQ(env_.creations, 3);  // no second attempt after a failed deletion
  env_.undeletable_keys.clear();
  EXPECT_EQ(Create("", true), "");
  EXPECT_EQ(Values(kKey), 0u);
  EXPECT_FALSE(Has(std::string(kKey) + "\\A"));
  EXPECT_TRUE(Has("SOFTWARE\\T\\Sibling"));

  env_.fail_creation = env_.creations + 2;  // the second attempt fails
  env_.system_texts[87] = "The parameter is incorrect.\r\n";
  EXPECT_EQ(Create("", true),
            "Attempting to create or open |The parameter is incorrect.\r\n");
  EXPECT_FALSE(Has(kKey));
  RegKey key = 0;
  EXPECT_TRUE(RegistryHelper::TryCreateKey(kHkeyLocalMachine, kKey, &key, 0));
  env_.CloseRegKey(key);
  EXPECT_FALSE(RegistryHelper::TryCreateKey(kHkeyLocalMachine, kKey, &key, 0));
  EXPECT_EQ(env_.OpenRegKeyCount(), 0u);
}

TEST_F(RegistryHelperTest, DeleteKeyTreeFailsWhereAnyPartStays) {
  EXPECT_FALSE(RegistryHelper::DeleteKeyTree(kHkeyLocalMachine, "SOFTWARE\\N"));
  env_.fail_enum = true;
  EXPECT_FALSE(RegistryHelper::DeleteKeyTree(kHkeyLocalMachine, kKey));
  env_.fail_enum = false;
  env_.undeletable_keys = {"HKLM\\" + std::string(kKey)};
  EXPECT_FALSE(RegistryHelper::DeleteKeyTree(kHkeyLocalMachine, kKey));
  EXPECT_TRUE(Has(kKey));
  EXPECT_EQ(env_.OpenRegKeyCount(), 0u);
}

TEST_F(RegistryHelperTest, InternetExplorerGetsItsSevenValues) {
  env_.SetRegString(kHkeyLocalMachine, kVtvm, "Location", "D:\\old.dll");
  env_.SetRegString(kHkeyLocalMachine, kVtvm, "Other", "kept");
  env_.AddRegKey(kHkeyLocalMachine, kKfvm + "\\Stale");
  env_.deny_create_keys = {"HKLM\\" + kKfvm};  // replaced
  EXPECT_TRUE(RegisterInternetExplorerPlugin("C:\\V\\NPAXVnt.dll"));
  EXPECT_TRUE(env_.boxes.empty());
  EXPECT_FALSE(Has(kKfvm + "\\Stale"));
  std::string values;  // "key: name=type:data;" for each key
  for (const std::string& key : {kVtvm, kKfvm, kMime}) {
    values += key.substr(key.size() - 5) + ":";
    for (const auto& [name, value] : env_.RegValues(kHkeyLocalMachine, key)) {
      values +=
          name + "=" + std::to_string(value.type) + ":" + value.data + ";";
    }
  }
  const std::string common =
      "=1:Vantorium, Inc.'s Vantorium3D\0;content type=1:application/"
      "x-Vantorium-3D-Applet\0;location=1:C:\\V\\NPAXVnt.dll\0;"s;
  EXPECT_EQ(values, ".vtvm:" + common + "other=1:kept\0;.kfvm:"s + common +
                        "pplet:extension=1:.vtvm\0;"s);
  EXPECT_EQ(env_.OpenRegKeyCount(), 0u);
}

TEST_F(RegistryHelperTest, InternetExplorerStopsAtTheFailingStep) {
  const struct {
    std::string blocked_key;  // a key that cannot be made, or
    int failing_write;        // the value write that fails
    const char* step;
    std::size_t written;  // values written before it
  } cases[] = {
      {kVtvm, 0, "ie_extensions_vtvm).", 0},
      {"", 1, "ie_extensions_vtvm_location)", 0},
      {"", 2, "ie_extensions_vtvm_ctype)", 1},
      {"", 3, "ie_extensions_vtvm_default)", 2},
      {kKfvm, 0, "ie_extensions_kfvm).", 3},
      {"", 4, "ie_extensions_kfvm_location)", 3},
      {"", 5, "ie_extensions_kfvm_ctype)", 4},
      {"", 6, "ie_extensions_kfvm_default)", 5},
      {kMime, 0, "ie_mime).", 6},
      {"", 7, "ie_mime_extension)", 6},
  };
  for (const auto& c : cases) {
    env_ = RegistryEnv();
    env_.AddRegKey(kHkeyLocalMachine, c.blocked_key);
    env_.deny_create_keys = {"HKLM\\" + c.blocked_key};
    env_.undeletable_keys = env_.deny_create_keys;
    env_.fail_write = c.failing_write;
    std::string detail;
    EXPECT_FALSE(WriteInternetExplorerKeys("C:\\NPAXVnt.dll", &detail));
    EXPECT_EQ(detail,
              std::string("Unable to setup registry correctly (") + c.step);
    EXPECT_EQ(Values(kVtvm) + Values(kKfvm) + Values(kMime), c.written);
    EXPECT_EQ(env_.OpenRegKeyCount(), 0u);
  }
  // Told to the user, with the failing step on request.
  for (int answer : {box::kIdNo, box::kIdYes}) {
    env_.writes = 0;
    env_.box_answers = {answer};
    EXPECT_FALSE(RegisterInternetExplorerPlugin("C:\\NPAXVnt.dll"));
  }
  std::string boxes;
  for (const RecordedBox& b : env_.boxes) {
    boxes += b.caption + std::to_string(b.flags) + (b.owner ? "owned|" : "|") +
             b.text + "|";
  }
  const std::string ask =
      "Unable to set up Internet Explorer276|The installer failed to install "
      "the Vantorium3D player for Internet Explorer. The most likely cause is "
      "that Internet Explorer is not installed, or is an out of date version. "
      "If you want to use Vantorium in Internet Explorer, install a recent "
      "version and rerun this setup. If you are installing the Netscape "
      "Plugin, installation will continue.\n\nWould you like information on "
      "the specific problem encountered?|";
  EXPECT_EQ(boxes, ask + ask +
                       "Details on problem0|Unable to setup registry correctly "
                       "(ie_mime_extension)|");
}

TEST(NetscapeHelper, DetectsTheNewestInstallDirectory) {
  const std::string m259(259, 'm'), u260(260, 'u');
  const struct {
    std::vector<std::tuple<std::string, std::string, std::uint32_t>> entries;
    std::string detected;  // below the per-user key for version ""
  } cases[] = {
      {{{"", "%Root%\\NS", reg::kExpandSz}}, "%Root%\\NS"},
      {{{"", "C:\\U", 1},
        {"4.5", "C:\\O", 1},
        {"4.7 (en)", "C:\\N\\", 1},
        {"Users", "C:\\X", 1}},
       "C:\\N"},
      {{{"10.0", m259, 1}, {"9.5", "C:\\9", 1}, {"  4.08", "C:\\4", 1}}, m259},
      {{{"Users", "C:\\U", 1}, {"-1", "C:\\N", 1}, {"0.0", "C:\\Z", 1}}, ""},
      {{{"5", "C:\\5", 1}, {"5.0", "C:\\6", 1}},
       "C:\\5"},  // the first of equals
      {{{"", std::string("C:\\1\0C:\\2", 9), reg::kMultiSz}}, "C:\\1"},
      {{{"", u260, 1}}, u260},
      {{{"", u260 + "u", 1}, {"4.7", "C:\\W", reg::kDword}}, ""},
      {{{"4.7", std::string(260, 'm'), 1}}, ""},
      {{{"", "C:\\U", 1}, {"6.0\\X", "C:\\6", 1}, {"4.7", "C:\\O", 1}},
       "C:\\U"},
      {{{"99" + std::string(300, '9'), "C:\\L", 1}, {"4.5", "C:\\S", 1}},
       "C:\\S"},
      {{{"5" + std::string(255, ' '), "C:\\5", 1}, {"4.5", "C:\\S", 1}}, ""},
  };
  for (const auto& c : cases) {
    ScopedFakeEnv env;
    for (const auto& [version, data, type] : c.entries) {
      const RegKey root =
          version.empty() ? kHkeyCurrentUser : kHkeyLocalMachine;
      const std::string key = "Software\\Netscape\\Netscape Navigator\\" +
                              (version.empty() ? "" : version + "\\") + "Main";
      env->SetRegString(root, key, "Install Directory", data, type);
    }
    NetscapeHelper helper;
    EXPECT_EQ(helper.detected(), !c.detected.empty());
    if (helper.detected()) {
      EXPECT_EQ(helper.detected_directory(), c.detected + "\\Program\\Plugins");
    }
    EXPECT_EQ(helper.chosen_directory(), helper.detected_directory());
    EXPECT_EQ(env->OpenRegKeyCount(), 0u);
  }
  EXPECT_EQ(NetscapeHelper::JoinPath("", "x"), "\\x");
  EXPECT_EQ(NetscapeHelper::JoinPath("C:\\P\\", "x"), "C:\\P\\x");
}

}  // namespace
}  // namespace brackenfold
