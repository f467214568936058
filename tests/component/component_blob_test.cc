#include "component/component_blob.h"

#include <gtest/gtest.h>

#include <tuple>

#include "blob/fork_sink.h"
#include "component/prerequisite_check.h"
#include "tests/blob/blob_stream_fixture.h"
#include "tests/component/component_test_support.h"

namespace brackenfold {
namespace {

// Init's result and its line on stderr.
struct Loaded {
  explicit Loaded(const std::string& bytes)
      : memory(bytes), blob(memory.stream()) {
    testing::internal::CaptureStderr();
    result = blob.Init(false);
    message = testing::internal::GetCapturedStderr();
  }
  MemoryBlob memory;
  ComponentBlob blob;
  bool result;
  std::string message;
};

std::string Text(const std::vector<Prerequisite>& list) {
  std::string text;
  for (const Prerequisite& p : list) {
    text += p.id + " " + std::to_string(p.version) + (p.required ? "!" : "?");
  }
  return text;
}

// Unsigned blobs fail "in reader init", as bfold check shows.
TEST(DescriptorTest, InitFailuresSayWhichStepFailed) {
  const BlobFiles files = ComponentFiles("X", 1);
  BlobFiles long_title = files;
  long_title[2].second.assign(kMaxTextSinkSize + 1, 't');
  const std::pair<BlobFiles, std::string> cases[] = {
      {{files[0], files[1], files[3], files[4]}, "to find required files"},
      {ComponentFiles("X", 1, "1,a,1\n1,b\n"), "to read prereqs"},
      {long_title, "to read prereqs"}};
  for (const auto& [blob_files, where] : cases) {
    Loaded loaded(BuildSignedBlob(blob_files));
    EXPECT_FALSE(loaded.result) << where;
    EXPECT_EQ(loaded.message, "ComponentBlob::Init Failed " + where + "\n");
    EXPECT_FALSE(loaded.blob.IsInitialised());
  }
  long_title[2].second.pop_back();  // a text exactly at the limit is read
  EXPECT_TRUE(Loaded(BuildSignedBlob(long_title)).result);
}

// Fed whole and byte by byte, then the final LF that Init feeds.
TEST(DescriptorTest, ParsesPrerequisiteListsInAnyPieces) {
  const std::tuple<std::string, bool, std::string> cases[] = {
      {"", true, ""},
      {"1, core, 3\r\n\r\n0,Extra,2", true, "CORE 3!EXTRA 2?"},
      {"-7,a,1\nyes,b,v2\n", true, "A 1!B 0?"},
      {"1,core,3,\n", false, ""},
      {"1,a,1\n   \n", false, ""}};
  for (const auto& [text, ok, expected] : cases) {
    for (std::size_t piece : {text.size() + 1, std::size_t{1}}) {
      std::vector<Prerequisite> list;
      PrerequisiteSinkContext sink{&list, std::string()};
      bool fed = true;
      for (std::size_t at = 0; fed && at < text.size(); at += piece) {
        fed = PrerequisiteSink(&sink, text.data() + at,
                               std::min(piece, text.size() - at));
      }
      EXPECT_EQ(fed && PrerequisiteSink(&sink, "\n", 1), ok) << text;
      EXPECT_EQ(Text(list), ok ? expected : Text(list)) << text;
    }
  }
}

TEST(DescriptorTest, ParsesExposeLists) {
  const std::pair<const char*, ExposeMap> cases[] = {
      // A blank after a comma is trimmed; one inside a field skips the line.
      {"Viewer.dll, lib_viewer.dll\nbad name,x\n",
       {{"lib_viewer.dll", "Viewer.dll"}}},
      {"A,f\r\nB,f", {{"f", "A"}}},  // the first line for a payload wins
      {"bin/Tool-90.exe,bin/t_09.exe\r", {{"bin/t_09.exe", "bin/Tool-90.exe"}}},
      {"a\na,b,c\n,b\na,\n\n", {}},
      {"a+b,c\nd,e:f\nok,fine\n", {{"fine", "ok"}}}};
  for (const auto& [text, expected] : cases) {
    ExposeMap map;
    ParseExposeList(text, map);
    EXPECT_EQ(map, expected) << text;
  }
}

TEST(DescriptorTest, RefusesPayloadNamesThatLeaveOrCutTheDirectory) {
  for (const char* name :
       {"viewer.dll", "bin/x90.dll", ".profile", "a..b", "x/..y/z"}) {
    EXPECT_TRUE(IsSafePayloadName(name)) << name;
  }
  for (const std::string& name : std::initializer_list<std::string>{
           "/etc/passwd", "\\windows\\x", "C:x.dll", "1:x.dll", "..",
           "bin/../../x", "bin\\..\\x", "bin/..", "", "bin//x.dll", "bin/",
           std::string("a\0b", 3)}) {
    EXPECT_FALSE(IsSafePayloadName(name)) << PrintableName(name);
  }
}

using BlobSpecs = std::vector<std::tuple<std::string, int, std::string>>;

class PrerequisiteCheckTest : public ComponentTest {
 protected:
  // Opens blobs of (id, version, prereq) and checks them against installed.
  bool Check(const BlobSpecs& specs, const InstalledComponents& installed,
             std::vector<UnmetRequirement>* unmet) {
    std::vector<FilePath> paths;
    for (const auto& [id, version, prereq] : specs) {
      paths.emplace_back(WriteBlob(std::to_string(++blobs_) + ".blob",
                                   ComponentFiles(id, version, prereq)));
    }
    std::vector<OpenedBlob> opened;
    EXPECT_TRUE(OpenBlobs(paths, &opened, nullptr));
    return CheckPrerequisites(installed, opened, unmet);
  }
  int blobs_ = 0;
};

// A prerequisite counts when it is required or its component is installed;
// the highest version asked for wins.
TEST_F(PrerequisiteCheckTest, TheFirstBlobOfAnIdOrAnInstalledCopyMeetsThem) {
  using Unmet = std::vector<UnmetRequirement>;
  const std::tuple<BlobSpecs, InstalledComponents, Unmet> cases[] = {
      {{{"B", 2, ""}, {"A", 1, "1,B,2\n"}}, {}, {}},  // earlier in the list
      {{{"A", 1, "1,b,3\n"}, {"B", 2, ""}}, {{"B", 3}}, {}},  // installed
      {{{"A", 1, "0,B,5\n"}}, {}, {}},  // optional, not installed
      {{{"A", 1, "0,B,5\n"}}, {{"B", 4}}, {{"B", 5}}},  // installed, too old
      {{{"A", 1, "1,R,2\n1,R,5\n1,R,1\n"}}, {{"R", 4}}, {{"R", 5}}},  // highest
      // Only the first blob of an id is offered; a later one counts its own.
      {{{"X", 1, ""}, {"X", 3, ""}, {"N", 1, "1,X,2\n"}}, {}, {{"X", 2}}},
      {{{"X", 3, ""}, {"X", 1, ""}, {"N", 1, "1,X,2\n"}}, {}, {}},
      {{{"X", 1, ""}, {"X", 2, "1,Y,1\n"}}, {}, {{"Y", 1}}},
      {{{"S", 2, "1,S,2\n"}}, {}, {}}};  // a blob naming itself
  int row = 0;
  for (const auto& [blobs, installed, expected] : cases) {
    Unmet unmet;
    EXPECT_EQ(Check(blobs, installed, &unmet), expected.empty()) << ++row;
    EXPECT_EQ(unmet, expected) << row;
  }
}

}  // namespace
}  // namespace brackenfold
