#include "component/component_blob.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/component/component_test_support.h"
#include "tests/support/blob_builder.h"

namespace brackenfold {
namespace {

// A blob held in memory, read through the reader's callbacks.
struct MemoryBlob {
  explicit MemoryBlob(std::string bytes) : data(std::move(bytes)) {}
  BlobStream Stream() {
    return BlobStream{
        [](void* handle, void* buffer, std::size_t count) -> std::size_t {
          auto* self = static_cast<MemoryBlob*>(handle);
          if (self->position >= self->data.size()) return 0;
          std::size_t n = std::min(count, self->data.size() - self->position);
          std::memcpy(buffer, self->data.data() + self->position, n);
          self->position += n;
          return n;
        },
        [](void* handle, std::uint32_t to) {
          static_cast<MemoryBlob*>(handle)->position = to;
          return true;
        },
        [](void* handle) {
          return static_cast<std::uint32_t>(
              static_cast<MemoryBlob*>(handle)->position);
        },
        this};
  }
  std::string data;
  std::size_t position = 0;
};

class LoadedBlob {
 public:
  explicit LoadedBlob(const std::string& bytes)
      : memory_(bytes), blob_(memory_.Stream()) {
    testing::internal::CaptureStderr();
    result_ = blob_.Init(false);
    message_ = testing::internal::GetCapturedStderr();
  }
  ComponentBlob& blob() { return blob_; }
  bool result() const { return result_; }
  const std::string& message() const { return message_; }

 private:
  MemoryBlob memory_;
  ComponentBlob blob_;
  bool result_ = false;
  std::string message_;
};

BlobFiles With(BlobFiles files, const std::string& name,
               const std::string& contents) {
  for (auto& file : files) {
    if (file.first == name) {
      file.second = contents;
      return files;
    }
  }
  files.emplace_back(name, contents);
  return files;
}

BlobFiles Without(BlobFiles files, const std::string& name) {
  BlobFiles out;
  for (auto& file : files) {
    if (file.first != name) out.push_back(file);
  }
  return out;
}

const char kReaderInit[] = "ComponentBlob::Init Failed in reader init\n";
const char kRequiredFiles[] =
    "ComponentBlob::Init Failed to find required files\n";
const char kReadPrereqs[] = "ComponentBlob::Init Failed to read prereqs\n";

TEST(DescriptorTest, NormalisesValues) {
  struct Case {
    const char* file;
    const char* contents;
    std::string (*field)(ComponentBlob&);
    const char* expected;
  } cases[] = {
      {"component/id", " abc-1\n", [](ComponentBlob& b) { return b.GetId(); },
       "ABC-1"},
      {"component/id", "a b\tc", [](ComponentBlob& b) { return b.GetId(); },
       "A B\tC"},
      {"component/title", "  My Title \n",
       [](ComponentBlob& b) { return b.GetTitle(); }, "My Title"},
      {"component/title", " \r\n",
       [](ComponentBlob& b) { return b.GetTitle(); }, ""},
      {"component/description", "\tSome words\r\n",
       [](ComponentBlob& b) { return b.GetDescription(); }, "Some words"},
      {"component/platform", " win32\r\n",
       [](ComponentBlob& b) { return b.GetPlatform(); }, "WIN32"},
      {"component/initialize", " viewer.dll \n",
       [](ComponentBlob& b) { return b.GetInitializeFile(); }, "viewer.dll"},
      {"component/version", " 12\r\n",
       [](ComponentBlob& b) { return std::to_string(b.GetVersion()); }, "12"},
      {"component/version", "1.9",
       [](ComponentBlob& b) { return std::to_string(b.GetVersion()); }, "1"},
      {"component/version", "beta",
       [](ComponentBlob& b) { return std::to_string(b.GetVersion()); }, "0"},
      {"component/version", "-3",
       [](ComponentBlob& b) { return std::to_string(b.GetVersion()); }, "-3"},
  };
  for (const Case& c : cases) {
    LoadedBlob loaded(
        BuildSignedBlob(With(ComponentFiles("X", 1), c.file, c.contents)));
    ASSERT_TRUE(loaded.result()) << c.file << ": " << loaded.message();
    EXPECT_EQ(c.field(loaded.blob()), c.expected) << c.file;
    EXPECT_EQ(loaded.message(), "");
    EXPECT_TRUE(loaded.blob().IsInitialised());
  }
}

TEST(DescriptorTest, DefaultsWithoutOptionalFiles) {
  LoadedBlob loaded(BuildSignedBlob(ComponentFiles("core", 4)));
  ASSERT_TRUE(loaded.result());
  EXPECT_EQ(loaded.blob().GetId(), "CORE");
  EXPECT_EQ(loaded.blob().GetVersion(), 4);
  EXPECT_EQ(loaded.blob().GetPlatform(), "UNKNOWN");
  EXPECT_EQ(loaded.blob().GetInitializeFile(), "");
  EXPECT_TRUE(loaded.blob().GetPrerequisites().empty());
}

struct PrerequisiteCase {
  const char* name;
  std::string contents;
  bool ok;
  std::vector<Prerequisite> expected;
};

TEST(DescriptorTest, ParsesPrerequisiteLists) {
  const PrerequisiteCase cases[] = {
      {"empty", "", true, {}},
      {"blank lines only", "\r\n\n\r", true, {}},
      {"mixed line ends, last line open",
       "1, core, 3\r\n\r\n0,Extra,2",
       true,
       {{"CORE", 3, true}, {"EXTRA", 2, false}}},
      {"flag value other than 0 or 1", "-7,a,1\n", true, {{"A", 1, true}}},
      {"non-numeric fields", "yes,b,v2\n", true, {{"B", 0, false}}},
      {"id keeps inner blanks", "1, my lib ,5\n", true, {{"MY LIB", 5, true}}},
      {"four fields (trailing comma)", "1,core,3,\n", false, {}},
      {"two fields", "1,core\n", false, {}},
      {"a line of blanks is one field", "1,a,1\n   \n", false, {}},
      {"bad line after a good one", "1,a,1\nx\n", false, {}},
  };
  for (const PrerequisiteCase& c : cases) {
    LoadedBlob loaded(BuildSignedBlob(ComponentFiles("X", 1, c.contents)));
    EXPECT_EQ(loaded.result(), c.ok) << c.name;
    if (!c.ok) {
      EXPECT_EQ(loaded.message(), kReadPrereqs) << c.name;
      continue;
    }
    std::vector<Prerequisite> got = loaded.blob().GetPrerequisites();
    ASSERT_EQ(got.size(), c.expected.size()) << c.name;
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].id, c.expected[i].id) << c.name;
      EXPECT_EQ(got[i].version, c.expected[i].version) << c.name;
      EXPECT_EQ(got[i].required, c.expected[i].required) << c.name;
    }
  }
}

TEST(PrerequisiteSinkTest, JoinsALineSplitAcrossPieces) {
  std::vector<Prerequisite> list;
  PrerequisiteSinkContext sink{&list, std::string()};
  for (const char* piece : {"1,co", "re,", "12\r", "\n0,b", ",1"}) {
    ASSERT_TRUE(PrerequisiteSink(&sink, piece, std::strlen(piece)));
  }
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].id, "CORE");
  EXPECT_EQ(list[0].version, 12);
  ASSERT_TRUE(PrerequisiteSink(&sink, "\n", 1));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].id, "B");
  EXPECT_FALSE(list[1].required);
  EXPECT_EQ(sink.pending, "");
}

TEST(DescriptorTest, MissingRequiredFileFails) {
  for (const char* name :
       {"component/version", "component/id", "component/title",
        "component/description", "component/prereq"}) {
    LoadedBlob loaded(BuildSignedBlob(Without(ComponentFiles("X", 1), name)));
    EXPECT_FALSE(loaded.result()) << name;
    EXPECT_EQ(loaded.message(), kRequiredFiles) << name;
    EXPECT_FALSE(loaded.blob().IsInitialised());
  }
}

TEST(DescriptorTest, UnverifiedBlobFailsInReaderInit) {
  const BlobFiles files = ComponentFiles("X", 1);
  const std::string signed_blob = BuildSignedBlob(files);
  const std::string blobs[] = {
      BuildUnsignedBlob(files),
      CorruptBlob(signed_blob, signed_blob.size() - 3),  // data area
      "",
      "VantoriumBlob\n",
  };
  for (const std::string& blob : blobs) {
    LoadedBlob loaded(blob);
    EXPECT_FALSE(loaded.result());
    EXPECT_EQ(loaded.message(), kReaderInit);
  }
}

TEST(DescriptorTest, UnreadableDescriptorFileFailsAsPrereqs) {
  // A sound prerequisite list, but the title's data is not a zlib stream.
  std::vector<RawFork> forks = {
      GoodFork("component/description", "d"),
      GoodFork("component/id", "x"),
      GoodFork("component/prereq", "1,core,1\n"),
      RawFork{"component/title", "this is not zlib", 5},
      GoodFork("component/version", "2"),
  };
  LoadedBlob loaded(BuildSignedRawBlob(forks));
  EXPECT_FALSE(loaded.result());
  EXPECT_EQ(loaded.message(), kReadPrereqs);
  EXPECT_FALSE(loaded.blob().IsInitialised());
  // What was read before the failure stays.
  EXPECT_EQ(loaded.blob().GetId(), "X");
  EXPECT_EQ(loaded.blob().GetVersion(), 2);

  // A recorded size that does not match the data fails the same way.
  forks[3] = GoodFork("component/title", "title");
  forks[3].uncompressed_size = 4;
  LoadedBlob mismatched(BuildSignedRawBlob(forks));
  EXPECT_FALSE(mismatched.result());
  EXPECT_EQ(mismatched.message(), kReadPrereqs);
}

TEST(ExposeListTest, ParsesLines) {
  struct Case {
    const char* name;
    const char* text;
    ExposeMap expected;
  } cases[] = {
      {"blank after comma is trimmed; blank inside a field skips the line",
       "Viewer.dll, lib_viewer.dll\nbad name,x\n",
       {{"lib_viewer.dll", "Viewer.dll"}}},
      {"first line for a payload file wins", "A,f\r\nB,f", {{"f", "A"}}},
      {"slashes and digits allowed",
       "bin/Tool-2.exe,bin/t_2.exe\r",
       {{"bin/t_2.exe", "bin/Tool-2.exe"}}},
      {"wrong field counts and empty fields skipped",
       "a\na,b,c\n,b\na,\n\n",
       {}},
      {"characters outside the set skipped",
       "a+b,c\nd,e:f\nok,fine\n",
       {{"fine", "ok"}}},
  };
  for (const Case& c : cases) {
    ExposeMap map;
    ParseExposeList(c.text, map);
    EXPECT_EQ(map, c.expected) << c.name;
  }
}

TEST(ExposeListTest, ReadExposeMapKeepsExistingKeys) {
  LoadedBlob loaded(BuildSignedBlob(
      With(ComponentFiles("X", 1), "component/expose", "New,f\nG,g\n")));
  ASSERT_TRUE(loaded.result());
  ExposeMap map{{"f", "Old"}};
  loaded.blob().ReadExposeMap(map);
  EXPECT_EQ(map, (ExposeMap{{"f", "Old"}, {"g", "G"}}));

  LoadedBlob without(BuildSignedBlob(ComponentFiles("X", 1)));
  ASSERT_TRUE(without.result());
  ExposeMap untouched{{"a", "b"}};
  without.blob().ReadExposeMap(untouched);
  EXPECT_EQ(untouched, (ExposeMap{{"a", "b"}}));
}

TEST(PayloadNameTest, RefusesNamesThatLeaveOrCutTheDirectory) {
  struct Case {
    std::string name;
    bool safe;
  } cases[] = {
      {"viewer.dll", true},   {"bin/x.dll", true},
      {".profile", true},     {"a..b", true},
      {"..x", true},          {"x/..y/z", true},
      {"/etc/passwd", false}, {"\\windows\\x", false},
      {"C:x.dll", false},     {"c:\\x.dll", false},
      {"..", false},          {"../x", false},
      {"bin/../../x", false}, {"bin\\..\\x", false},
      {"bin/..", false},      {"", false},
      {"bin//x.dll", false},  {"bin/", false},
      {"1:x.dll", false},     {std::string("a\0b", 3), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsSafePayloadName(c.name), c.safe) << PrintableName(c.name);
  }
}

}  // namespace
}  // namespace brackenfold
