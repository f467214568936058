#include "win32/registry_helper.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "tests/support/fake_env.h"

namespace brackenfold {
namespace {

const char kKey[] = "SOFTWARE\\Test\\Plugin";
const char kFullKey[] = "HKLM\\SOFTWARE\\Test\\Plugin";

// FakeEnv that counts key creations and can make one of them fail, or make
// the registry calls throw.
class CountingEnv : public FakeEnv {
 public:
  long CreateRegKey(RegKey root, const std::string& subkey,
                    std::uint32_t access, RegKey* key) override {
    ++creations;
    last_create_access = access;
    if (throw_on_create) throw std::runtime_error("out of memory");
    if (creations == fail_creation) {
      *key = 0;
      return fail_result;
    }
    return FakeEnv::CreateRegKey(root, subkey, access, key);
  }
  long EnumRegKey(RegKey key, std::uint32_t index, char* name,
                  std::uint32_t* name_size) override {
    if (enum_result != 0) return enum_result;
    return FakeEnv::EnumRegKey(key, index, name, name_size);
  }

  int creations = 0;
  std::uint32_t last_create_access = 0;
  int fail_creation = 0;  // 1-based; 0 never
  long fail_result = win_error::kInvalidParameter;
  long enum_result = 0;
  bool throw_on_create = false;
};

class RegistryHelperTest : public ::testing::Test {
 protected:
  RegistryHelperTest() : previous_(SetCurrentEnv(&env_)) {}
  ~RegistryHelperTest() override { SetCurrentEnv(previous_); }

  // A key with values and a two-level subtree.
  void AddTree() {
    env_.SetRegString(kHkeyLocalMachine, kKey, "Old", "value");
    env_.SetRegString(kHkeyLocalMachine, std::string(kKey) + "\\A\\A1", "x",
                      "1");
    env_.AddRegKey(kHkeyLocalMachine, std::string(kKey) + "\\A\\A2");
    env_.AddRegKey(kHkeyLocalMachine, std::string(kKey) + "\\B");
  }

  CountingEnv env_;
  Env* previous_;
};

TEST_F(RegistryHelperTest, CreateKeyCreatesAMissingKeyWithFullAccess) {
  RegKey key = 0;
  RegistryHelper::CreateKey(kHkeyLocalMachine, kKey, &key, "the key", true);
  EXPECT_NE(0u, key);
  EXPECT_TRUE(env_.HasRegKey(kHkeyLocalMachine, kKey));
  EXPECT_EQ(reg::kAllAccess, env_.last_create_access);
  env_.CloseRegKey(key);
}

TEST_F(RegistryHelperTest, ExistingKeyIsOpenedAndKeepsEverything) {
  AddTree();
  RegKey key = 0;
  RegistryHelper::CreateKey(kHkeyLocalMachine, kKey, &key, "", true);
  env_.CloseRegKey(key);
  EXPECT_EQ(1, env_.creations);
  EXPECT_TRUE(env_.RegValue(kHkeyLocalMachine, kKey, "Old").has_value());
  EXPECT_TRUE(env_.HasRegKey(kHkeyLocalMachine, std::string(kKey) + "\\A\\A1"));
}

TEST_F(RegistryHelperTest, DeniedKeyIsDeletedWithItsTreeAndCreatedAgain) {
  AddTree();
  env_.deny_create_keys = {kFullKey};
  RegKey key = 0;
  RegistryHelper::CreateKey(kHkeyLocalMachine, kKey, &key, "", true);
  EXPECT_NE(0u, key);
  EXPECT_EQ(2, env_.creations);
  EXPECT_TRUE(env_.HasRegKey(kHkeyLocalMachine, kKey));
  EXPECT_TRUE(env_.RegValues(kHkeyLocalMachine, kKey).empty());
  EXPECT_FALSE(env_.HasRegKey(kHkeyLocalMachine, std::string(kKey) + "\\A"));
  EXPECT_FALSE(env_.HasRegKey(kHkeyLocalMachine, std::string(kKey) + "\\B"));
  env_.CloseRegKey(key);
  EXPECT_EQ(0u, env_.OpenRegKeyCount());
}

TEST_F(RegistryHelperTest, DeniedWithoutFallbackThrowsAtOnce) {
  AddTree();
  env_.deny_create_keys = {kFullKey};
  RegKey key = 0;
  try {
    RegistryHelper::CreateKey(kHkeyLocalMachine, kKey, &key, "IE's key", false);
    FAIL() << "no exception";
  } catch (const RegistryHelperException& e) {
    EXPECT_EQ("Attempting to create or open IE's key", e.context());
    EXPECT_EQ("Access is denied.\r\n", e.system_text());
  }
  EXPECT_EQ(1, env_.creations);
  EXPECT_TRUE(env_.RegValue(kHkeyLocalMachine, kKey, "Old").has_value());
}

TEST_F(RegistryHelperTest, UndeletableSubkeyFailsWithoutSecondAttempt) {
  AddTree();
  env_.deny_create_keys = {kFullKey};
  env_.undeletable_keys = {std::string(kFullKey) + "\\A\\A2"};
  RegKey key = 0;
  try {
    RegistryHelper::CreateKey(kHkeyLocalMachine, kKey, &key, "", true);
    FAIL() << "no exception";
  } catch (const RegistryHelperException& e) {
    EXPECT_EQ("Attempting to create or open ", e.context());
    EXPECT_EQ("Access is denied.\r\n", e.system_text());
  }
  EXPECT_EQ(1, env_.creations);
  EXPECT_TRUE(env_.HasRegKey(kHkeyLocalMachine, kKey));
  EXPECT_EQ(0u, env_.OpenRegKeyCount());
}

TEST_F(RegistryHelperTest,
       FailedSecondAttemptReportsItsOwnErrorAndKeyStaysGone) {
  AddTree();
  env_.deny_create_keys = {kFullKey};
  env_.fail_creation = 2;
  env_.system_texts[87] = "The parameter is incorrect.\r\n";
  RegKey key = 0;
  try {
    RegistryHelper::CreateKey(kHkeyLocalMachine, kKey, &key, "", true);
    FAIL() << "no exception";
  } catch (const RegistryHelperException& e) {
    EXPECT_EQ("The parameter is incorrect.\r\n", e.system_text());
  }
  EXPECT_FALSE(env_.HasRegKey(kHkeyLocalMachine, kKey));
}

TEST_F(RegistryHelperTest, TryCreateKeyAnswersInsteadOfThrowing) {
  RegKey key = 0;
  EXPECT_TRUE(
      RegistryHelper::TryCreateKey(kHkeyLocalMachine, kKey, &key, false));
  env_.CloseRegKey(key);

  env_.deny_create_keys = {kFullKey};
  EXPECT_FALSE(
      RegistryHelper::TryCreateKey(kHkeyLocalMachine, kKey, &key, false));

  env_.deny_create_keys.clear();
  env_.throw_on_create = true;  // not a RegistryHelperException
  EXPECT_FALSE(
      RegistryHelper::TryCreateKey(kHkeyLocalMachine, kKey, &key, true));
}

TEST_F(RegistryHelperTest, WriteRegistryStringStoresTheTerminatingZero) {
  const struct {
    const char* name;
    const char* data;
  } cases[] = {{"Location", "C:\\Data\\NPAXVnt.dll"},
               {"", "default value"},
               {"Empty", ""}};
  ScopedRegKey key;
  ASSERT_TRUE(RegistryHelper::TryCreateKey(kHkeyLocalMachine, kKey,
                                           key.receive(), false));
  for (const auto& c : cases) {
    ASSERT_TRUE(WriteRegistryString(key.get(), c.name, c.data));
    auto value = env_.RegValue(kHkeyLocalMachine, kKey, c.name);
    ASSERT_TRUE(value.has_value()) << c.name;
    EXPECT_EQ(reg::kSz, value->type);
    EXPECT_EQ(std::string(c.data) + std::string(1, '\0'), value->data);
  }
  env_.failing_value_names = {"Location"};
  EXPECT_FALSE(WriteRegistryString(key.get(), "Location", "x"));
}

TEST_F(RegistryHelperTest, DeleteKeyTreeRemovesOnlyThatTree) {
  AddTree();
  env_.AddRegKey(kHkeyLocalMachine, "SOFTWARE\\Test\\Sibling");
  EXPECT_TRUE(RegistryHelper::DeleteKeyTree(kHkeyLocalMachine, kKey));
  EXPECT_FALSE(env_.HasRegKey(kHkeyLocalMachine, kKey));
  EXPECT_TRUE(env_.HasRegKey(kHkeyLocalMachine, "SOFTWARE\\Test\\Sibling"));
  EXPECT_EQ(0u, env_.OpenRegKeyCount());
}

TEST_F(RegistryHelperTest, DeleteKeyTreeFailures) {
  EXPECT_FALSE(RegistryHelper::DeleteKeyTree(kHkeyLocalMachine, kKey));

  AddTree();
  env_.enum_result = win_error::kAccessDenied;
  EXPECT_FALSE(RegistryHelper::DeleteKeyTree(kHkeyLocalMachine, kKey));
  EXPECT_TRUE(env_.HasRegKey(kHkeyLocalMachine, kKey));
  EXPECT_EQ(0u, env_.OpenRegKeyCount());

  env_.enum_result = 0;
  env_.undeletable_keys = {kFullKey};
  EXPECT_FALSE(RegistryHelper::DeleteKeyTree(kHkeyLocalMachine, kKey));
  EXPECT_TRUE(env_.HasRegKey(kHkeyLocalMachine, kKey));
  EXPECT_EQ(0u, env_.OpenRegKeyCount());
}

}  // namespace
}  // namespace brackenfold
