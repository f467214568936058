#include "component/prerequisite_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/component/component_test_support.h"

namespace brackenfold {
namespace {

TEST(CheckRequirementsTest, InstalledOrOfferedAtTheMinimum) {
  struct Case {
    const char* name;
    InstalledComponents installed;
    AvailableVersions available;
    RequiredVersions required;
    bool result;
    std::vector<UnmetRequirement> unmet;
  } cases[] = {
      {"nothing required", {}, {}, {}, true, {}},
      {"offered", {}, {{"B", 2}}, {{"B", 2}}, true, {}},
      {"installed", {{"B", 3}}, {{"B", 2}}, {{"B", 3}}, true, {}},
      {"offered too old, not installed",
       {},
       {{"B", 2}},
       {{"B", 3}},
       false,
       {{"B", 3}}},
      {"installed too old, offered too old",
       {{"B", 2}},
       {{"B", 1}},
       {{"B", 3}},
       false,
       {{"B", 3}}},
      {"negative versions compare signed",
       {},
       {{"B", -1}},
       {{"B", -2}},
       true,
       {}},
      {"every unmet id, in ascending order",
       {{"M", 9}},
       {},
       {{"Z", 1}, {"A", 1}, {"M", 2}},
       false,
       {{"A", 1}, {"Z", 1}}},
  };
  for (const Case& c : cases) {
    std::vector<UnmetRequirement> unmet;
    EXPECT_EQ(CheckRequirements(c.installed, c.available, c.required, &unmet),
              c.result)
        << c.name;
    EXPECT_EQ(unmet, c.unmet) << c.name;
    EXPECT_EQ(CheckRequirements(c.installed, c.available, c.required, nullptr),
              c.result)
        << c.name;
  }
}

class PrerequisiteCheckTest : public ComponentTest {
 protected:
  std::string Blob(const std::string& id, int version,
                   const std::string& prereq = "") {
    return WriteBlob(id + std::to_string(version) + "-" +
                         std::to_string(++blob_count_) + ".blob",
                     ComponentFiles(id, version, prereq));
  }
  // False also when a blob cannot be opened, before anything is checked.
  bool Check(const std::vector<std::string>& blobs,
             std::vector<UnmetRequirement>* unmet = nullptr) {
    std::vector<FilePath> paths(blobs.begin(), blobs.end());
    std::vector<OpenedBlob> opened;
    return OpenBlobs(paths, &opened, nullptr) &&
           CheckPrerequisites(Installed(), opened, unmet);
  }
  int blob_count_ = 0;
};

TEST_F(PrerequisiteCheckTest, EmptyListPasses) { EXPECT_TRUE(Check({})); }

TEST_F(PrerequisiteCheckTest, BlobLaterOrEarlierInTheListMeetsIt) {
  std::string a = Blob("A", 1, "1,B,2\n");
  std::string b = Blob("B", 2);
  EXPECT_TRUE(Check({a, b}));
  EXPECT_TRUE(Check({b, a}));
}

TEST_F(PrerequisiteCheckTest, InstalledCopyMeetsWhatTheBlobDoesNot) {
  std::string a = Blob("A", 1, "1,b,3\n");
  std::string b = Blob("B", 2);
  std::vector<UnmetRequirement> unmet;
  EXPECT_FALSE(Check({a, b}, &unmet));
  EXPECT_EQ(unmet, (std::vector<UnmetRequirement>{{"B", 3}}));
  SetInstalled({IndexEntry{"B", 3, {}}});
  EXPECT_TRUE(Check({a, b}));
}

TEST_F(PrerequisiteCheckTest, NotMetAnywhereFails) {
  std::string a = Blob("A", 1, "1,MISSING,1\n");
  std::vector<UnmetRequirement> unmet;
  EXPECT_FALSE(Check({a}, &unmet));
  EXPECT_EQ(unmet, (std::vector<UnmetRequirement>{{"MISSING", 1}}));
}

TEST_F(PrerequisiteCheckTest, OptionalPrerequisiteBindsOnlyAnInstalledCopy) {
  std::string a = Blob("A", 1, "0,B,5\n");
  EXPECT_TRUE(Check({a}));
  SetInstalled({IndexEntry{"B", 4, {}}});
  std::vector<UnmetRequirement> unmet;
  EXPECT_FALSE(Check({a}, &unmet));
  EXPECT_EQ(unmet, (std::vector<UnmetRequirement>{{"B", 5}}));
  EXPECT_TRUE(Check({a, Blob("B", 5)}));
}

TEST_F(PrerequisiteCheckTest, HighestMinimumCounts) {
  std::string a = Blob("A", 1, "1,CORE,1\n");
  std::string b = Blob("B", 1, "1,CORE,4\n");
  std::vector<UnmetRequirement> unmet;
  EXPECT_FALSE(Check({a, b, Blob("CORE", 3)}, &unmet));
  EXPECT_EQ(unmet, (std::vector<UnmetRequirement>{{"CORE", 4}}));
  EXPECT_TRUE(Check({a, b, Blob("CORE", 4)}));
}

TEST_F(PrerequisiteCheckTest, OnlyTheFirstBlobOfAnIdIsOffered) {
  std::string one = Blob("X", 1);
  std::string three = Blob("X", 3);
  std::string needs = Blob("N", 1, "1,X,2\n");
  EXPECT_FALSE(Check({one, three, needs}));
  EXPECT_TRUE(Check({three, one, needs}));
}

TEST_F(PrerequisiteCheckTest, LaterDuplicateStillHasItsPrerequisitesCounted) {
  std::string first = Blob("X", 1);
  std::string second = Blob("X", 2, "1,Y,1\n");
  EXPECT_FALSE(Check({first, second}));
}

TEST_F(PrerequisiteCheckTest, ABlobMayNameItself) {
  EXPECT_TRUE(Check({Blob("S", 2, "1,S,2\n")}));
  EXPECT_FALSE(Check({Blob("S", 2, "1,S,3\n")}));
}

TEST_F(PrerequisiteCheckTest, UnreadableBlobFailsBeforeRequirements) {
  std::string good = Blob("A", 1);
  std::string unsigned_blob = scratch_.Join("unsigned.blob");
  ASSERT_TRUE(
      WriteFileBytes(unsigned_blob, BuildUnsignedBlob(ComponentFiles("U", 1))));
  for (const std::vector<std::string>& list :
       std::vector<std::vector<std::string>>{
           {good, scratch_.Join("missing.blob")},
           {unsigned_blob, good},
           {good, ""},  // a trailing comma in the host's list
       }) {
    std::vector<UnmetRequirement> unmet;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(Check(list, &unmet));
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(unmet.empty());
  }
}

TEST_F(PrerequisiteCheckTest, MergeRequirementsKeepsCountedOnesAtTheirHighest) {
  std::string a = Blob("a", 7, "1,R,2\n0,OPT,3\n0,GONE,9\n1,r,5\n1,R,1\n");
  std::vector<OpenedBlob> opened;
  ASSERT_TRUE(OpenBlobs({FilePath(a)}, &opened, nullptr));
  InstalledComponents installed{{"OPT", 1}};
  RequiredVersions required{{"R", 3}};
  MergeRequirements(installed, opened[0].blob->GetPrerequisites(), required);
  EXPECT_EQ(required, (RequiredVersions{{"OPT", 3}, {"R", 5}}));
}

}  // namespace
}  // namespace brackenfold
