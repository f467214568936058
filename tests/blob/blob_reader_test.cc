#include "blob/blob_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>
#include <vector>

#include "blob/blob_internal.h"
#include "blob/leading_integer.h"
#include "tests/blob/blob_stream_fixture.h"
#include "tests/support/blob_builder.h"

namespace brackenfold {
namespace {

// A blob with no signature sections: header, "0" sections, then body.
std::string Unsigned(const std::string& body) {
  return "VantoriumBlob\n1\n0\n" + body;
}

bool OpenBytes(const std::string& bytes, BlobCheck check = BlobCheck::None) {
  MemoryBlob blob(bytes);
  BlobReader reader(blob.stream());
  return reader.Open(check, false);
}

TEST(BlobNumberTest, ParsesLikeAtolOverDigitsCrAndLf) {
  const std::vector<std::tuple<std::string, bool, std::uint32_t>> cases = {
      {"12\n", true, 12},
      {"12\r\n", true, 12},
      {"\n", true, 0},
      {"\r\r7\n", true, 7},
      {"007\n", true, 7},
      {"1\r2\n", true, 1},
      {"2147483647\n", true, 2147483647u},
      {"2147483648\n", false, 0},      // above the 32-bit signed range
      {"99999999999999\n", false, 0},  // would wrap in 32 bits
      {"+12\n", false, 0},
      {" 12\n", false, 0},
      {"1 2\n", false, 0},
      {"-1\n", false, 0},
      {"0x10\n", false, 0},
  };
  for (const auto& [line, ok, value] : cases) {
    std::uint32_t parsed = 99;
    EXPECT_EQ(ParseBlobNumber(line, &parsed), ok) << line;
    if (ok) {
      EXPECT_EQ(parsed, value) << line;
    }
  }
}

// The version line and the descriptor's numbers share one reading.
TEST(LeadingIntegerTest, ReadsAsAtolDoes) {
  struct Case {
    const char* text;
    std::int32_t value;
    bool in_range;
    bool exact;
  } cases[] = {
      {"7", 7, true, true},
      {"1\r\n", 1, true, false},
      {"01", 1, true, true},
      {"1abc", 1, true, false},
      {"2.5", 2, true, false},
      {" \t+12\r\n", 12, true, false},
      {"-4", -4, true, true},
      {"--5", 0, true, false},
      {"x3", 0, true, false},
      {"", 0, true, false},
      {"+", 0, true, false},
      {"2147483647", 2147483647, true, true},
      {"-2147483648", INT32_MIN, true, true},
      {"2147483648", INT32_MIN, false, true},
      {"4294967297", 1, false, true},  // wraps to 1, but out of range
  };
  for (const Case& c : cases) {
    LeadingInteger read = ReadLeadingInteger(c.text);
    EXPECT_EQ(read.value, c.value) << '"' << c.text << '"';
    EXPECT_EQ(read.in_range, c.in_range) << '"' << c.text << '"';
    EXPECT_EQ(read.exact, c.exact) << '"' << c.text << '"';
  }
}

TEST(BlobReaderTest, HeaderLines) {
  const std::string body = "TOC \nDATA\n";
  EXPECT_TRUE(OpenBytes(Unsigned(body)));
  EXPECT_TRUE(OpenBytes("VantoriumBlob\n1\r\n0\n" + body));
  EXPECT_TRUE(OpenBytes("VantoriumBlob\n01\n0\n" + body));
  EXPECT_TRUE(OpenBytes("VantoriumBlob\n1 and more\n0\n" + body));
  EXPECT_FALSE(OpenBytes("VantoriumBlob\n2\n0\n" + body));
  EXPECT_FALSE(OpenBytes("VantoriumBlob\n4294967297\n0\n" + body));
  EXPECT_FALSE(OpenBytes("VantoriumBlob\r\n1\n0\n" + body));
  EXPECT_FALSE(OpenBytes("vantoriumBlob\n1\n0\n" + body));
  EXPECT_FALSE(OpenBytes("VantoriumBlob\n1\n0\nTOC\nDATA\n"));
  EXPECT_FALSE(OpenBytes("VantoriumBlob\n1\n0\nTOC \nFILES\n"));
  EXPECT_FALSE(OpenBytes(""));
}

TEST(BlobReaderTest, EmptyTableOpensAndEveryLookupFails) {
  MemoryBlob blob(Unsigned("TOC \nDATA\n"));
  BlobReader reader(blob.stream());
  ASSERT_TRUE(reader.Open(BlobCheck::None, false));
  EXPECT_TRUE(reader.IsLoaded());
  EXPECT_FALSE(reader.HasFork("component/id", kMainFork));
  ForkRecord record;
  EXPECT_FALSE(reader.FindFork("", "", &record));
}

TEST(BlobReaderTest, TableEntriesFirstRecordWins) {
  const std::string body =
      "TOC \n"
      "FILE\na/b\n2\nALL_MAIN\n0\n10\n20\nALL_MAIN\n5\n6\n7\n"
      "FILE\na/b\n1\nMACOS_RESOURCE\n1\n2\n3\n"
      "FILE\na/b\r\n1\nALL_MAIN\n9\n9\n9\n"
      "FILE\nempty\n0\n"
      "DATA\n";
  MemoryBlob blob(Unsigned(body));
  BlobReader reader(blob.stream());
  ASSERT_TRUE(reader.Open(BlobCheck::None, false));
  ForkRecord record;
  ASSERT_TRUE(reader.FindFork("a/b", "ALL_MAIN", &record));
  EXPECT_EQ(record.offset, 0u);
  EXPECT_EQ(record.compressed_size, 10u);
  EXPECT_EQ(record.uncompressed_size, 20u);
  EXPECT_FALSE(reader.HasFork("a/b", "MACOS_RESOURCE"));
  EXPECT_TRUE(reader.HasFork("a/b\r", "ALL_MAIN"));  // CR stays in the name
  EXPECT_FALSE(reader.HasFork("A/B", "ALL_MAIN"));
  EXPECT_FALSE(reader.HasFork("a/b", "all_main"));
  EXPECT_EQ(reader.GetFiles().size(), 3u);
  EXPECT_TRUE(reader.GetFiles().at("empty").forks.empty());
  EXPECT_EQ(reader.GetFiles().at("a/b\r").name, "a/b\r");
}

TEST(BlobReaderTest, FailedOpenKeepsEntriesButRefusesLookups) {
  const std::string body = "TOC \nFILE\nx\n1\nALL_MAIN\n0\n1\n1\nJUNK\n";
  MemoryBlob blob(Unsigned(body));
  BlobReader reader(blob.stream());
  EXPECT_FALSE(reader.Open(BlobCheck::None, false));
  EXPECT_EQ(reader.GetFiles().count("x"), 1u);
  EXPECT_FALSE(reader.IsLoaded());
  EXPECT_FALSE(reader.HasFork("x", "ALL_MAIN"));
  EXPECT_FALSE(reader.FindFork("x", "ALL_MAIN", nullptr));
  EXPECT_FALSE(reader.ExtractFork(&TextSink, nullptr, "x", "ALL_MAIN"));
}

TEST(BlobReaderTest, RefusesOversizedCountsAndLines) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"sections above the bound", "VantoriumBlob\n1\n65\n"},
      {"section length above the bound",
       "VantoriumBlob\n1\n1\nXYZ \n1048577\n"},
      {"section longer than the blob", "VantoriumBlob\n1\n1\nXYZ \n1000\nabc"},
      {"empty section", "VantoriumBlob\n1\n1\nXYZ \n0\nTOC \nDATA\n"},
      {"signature content above 512 bytes", "VantoriumBlob\n1\n1\nELGA\n513\n" +
                                                std::string(513, 'x') +
                                                "TOC \nDATA\n"},
      {"fork count above the bound", Unsigned("TOC \nFILE\nx\n1025\n")},
      {"fork count the blob does not hold",
       Unsigned("TOC \nFILE\nx\n3\nALL_MAIN\n0\n1\n1\nDATA\n")},
      {"offset above 2147483647",
       Unsigned("TOC \nFILE\nx\n1\nALL_MAIN\n2147483648\n1\n1\nDATA\n")},
      {"name line above the bound",
       Unsigned("TOC \nFILE\n" + std::string(70000, 'n') + "\n0\nDATA\n")},
      {"number line above 256 bytes",
       Unsigned("TOC \nFILE\nx\n" + std::string(256, '0') + "\nDATA\n")},
  };
  for (const auto& [what, bytes] : cases) {
    EXPECT_FALSE(OpenBytes(bytes)) << what;
  }
  // 255 digits and the LF fill a number line exactly.
  EXPECT_TRUE(OpenBytes(Unsigned("TOC \nFILE\nx\n" + std::string(254, '0') +
                                 "1\n" + "ALL_MAIN\n0\n0\n0\nDATA\n")));
}

TEST(BlobReaderTest, EveryTruncationOfASignedBlobFailsOpen) {
  std::string whole = BuildSignedBlob(
      {{"component/id", "core"}, {"bin/viewer.dll", "MZ payload"}});
  std::size_t data_start = whole.find("DATA\n") + 5;
  for (std::size_t length = 0; length < data_start; ++length) {
    EXPECT_FALSE(OpenBytes(whole.substr(0, length), BlobCheck::Signature))
        << length;
  }
  EXPECT_TRUE(OpenBytes(whole, BlobCheck::Signature));
}

struct Visit {
  std::string file;
  std::string fork;  // "-" for the per-file call
  std::uint32_t uncompressed;
  std::uint32_t compressed;
};

bool Record(void* context, const std::string& file, const char* fork,
            std::uint32_t uncompressed, std::uint32_t compressed) {
  auto* visits = static_cast<std::vector<Visit>*>(context);
  visits->push_back({file, fork ? fork : "-", uncompressed, compressed});
  return visits->size() < 100;
}

TEST(BlobReaderTest, EnumerateForksWalksInByteOrderWithSums) {
  const std::string body =
      "TOC \n"
      "FILE\nb\n2\nUNIX_EXECUTABLE\n0\n4294967295\n1\nALL_MAIN\n0\n2\n3\n"
      "FILE\nB\n1\nALL_MAIN\n0\n7\n8\n"
      "FILE\nab\n0\n"
      "DATA\n";
  // Sizes above 2147483647 are refused; use the largest allowed ones instead.
  std::string fixed = body;
  fixed.replace(fixed.find("4294967295"), 10, "2147483647");
  MemoryBlob blob(Unsigned(fixed));
  BlobReader reader(blob.stream());
  ASSERT_TRUE(reader.Open(BlobCheck::None, false));
  std::vector<Visit> visits;
  reader.EnumerateForks(&Record, &visits);
  ASSERT_EQ(visits.size(), 6u);
  EXPECT_EQ(visits[0].file, "B");
  EXPECT_EQ(visits[1].fork, "-");
  EXPECT_EQ(visits[2].file, "ab");
  EXPECT_EQ(visits[2].fork, "-");
  EXPECT_EQ(visits[2].uncompressed, 0u);
  EXPECT_EQ(visits[3].fork, "ALL_MAIN");
  EXPECT_EQ(visits[4].fork, "UNIX_EXECUTABLE");
  EXPECT_EQ(visits[5].uncompressed, 4u);
  EXPECT_EQ(visits[5].compressed, 2147483649u);
}

TEST(BlobReaderTest, EnumerateForksStopsWhenTheVisitorSaysSo) {
  MemoryBlob blob(
      Unsigned("TOC \nFILE\na\n1\nALL_MAIN\n0\n1\n1\nFILE\nb\n0\nDATA\n"));
  BlobReader reader(blob.stream());
  ASSERT_TRUE(reader.Open(BlobCheck::None, false));
  int calls = 0;
  reader.EnumerateForks(
      [](void* context, const std::string&, const char*, std::uint32_t,
         std::uint32_t) {
        ++*static_cast<int*>(context);
        return false;
      },
      &calls);
  EXPECT_EQ(calls, 1);
}

TEST(BlobReaderTest, ReadsThroughStdioStream) {
  std::string path = ::testing::TempDir() + "stdio_blob_test.blob";
  ASSERT_TRUE(WriteSignedBlob(path, ComponentFiles("core", 3)));
  std::FILE* file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  {
    BlobReader reader(StdioBlobStream(file));
    EXPECT_TRUE(reader.Open(BlobCheck::Signature, false));
    std::string id;
    TextSinkContext text{&id};
    EXPECT_TRUE(
        reader.ExtractFork(&TextSink, &text, "component/id", kMainFork));
    EXPECT_EQ(id, "core");
  }
  std::fclose(file);
  std::remove(path.c_str());
}

TEST(BlobReaderTest, ForkNamesInOrder) {
  EXPECT_STREQ(ForkNames[0], "ALL_MAIN");
  EXPECT_STREQ(ForkNames[1], "MACOS_RESOURCE");
  EXPECT_STREQ(ForkNames[2], "MACOS_FINDER");
  EXPECT_STREQ(ForkNames[3], "UNIX_EXECUTABLE");
}

}  // namespace
}  // namespace brackenfold
