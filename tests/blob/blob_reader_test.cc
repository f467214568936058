#include "blob/blob_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <tuple>
#include <vector>

#include "blob/blob_internal.h"
#include "blob/blob_writer.h"
#include "blob/leading_integer.h"
#include "tests/blob/blob_stream_fixture.h"
#include "tests/support/blob_builder.h"

namespace brackenfold {
namespace {

std::string Unsigned(const std::string& body) {
  return "VantoriumBlob\n1\n0\n" + body;
}

bool OpenBytes(const std::string& bytes, BlobCheck check = BlobCheck::None) {
  MemoryBlob blob(bytes);
  BlobReader reader(blob.stream());
  return reader.Open(check, false);
}

TEST(BlobNumberTest, ParsesLikeAtolOverDigitsCrAndLf) {
  const std::pair<std::string, std::int64_t> cases[] = {
      // -1: refused
      {"12\r\n", 12},
      {"\n", 0},
      {"\r\r7\n", 7},
      {"1\r2\n", 1},
      {"2147483647\n", 2147483647},
      {" 12\n", -1},
      {"12345678901\n", -1}};
  for (const auto& [line, value] : cases) {
    std::uint32_t parsed = 99;
    EXPECT_EQ(ParseBlobNumber(line, &parsed), value >= 0) << line;
    EXPECT_EQ(parsed, value >= 0 ? value : 99) << line;
  }
}

// The version line and the descriptor's numbers share one reading.
TEST(LeadingIntegerTest, ReadsAsAtolDoes) {
  const std::tuple<const char*, std::int32_t, bool, bool> cases[] = {
      {"1abc", 1, true, false},
      {" \t+12\r\n", 12, true, false},
      {"-4", -4, true, true},
      {"--5", 0, true, false},
      {"-2147483648", INT32_MIN, true, true},
      {"2147483648", INT32_MIN, false, true}};
  for (const auto& [text, value, in_range, exact] : cases) {
    LeadingInteger read = ReadLeadingInteger(text);
    EXPECT_EQ(std::tie(read.value, read.in_range, read.exact),
              std::tie(value, in_range, exact))
        << '"' << text << '"';
  }
}

// A fork count line and that many well-formed forks.
std::string Forks(int count) {
  std::string forks = std::to_string(count) + "\n";
  for (int i = 0; i < count; ++i)
    forks += "F" + std::to_string(i) + "\n0\n0\n0\n";
  return forks;
}

// count signature sections of length bytes each.
std::string Sections(int count, std::size_t length) {
  std::string sections;
  for (int i = 0; i < count; ++i)
    sections +=
        "XYZ \n" + std::to_string(length) + "\n" + std::string(length, 'x');
  return sections;
}

TEST(BlobReaderTest, OpensOnlyWellFormedHeadersAndTables) {
  const std::string body = "TOC \nDATA\n", toc = "TOC \nFILE\nx\n";
  const std::pair<std::string, bool> cases[] = {
      {Unsigned(body), true},
      {"VantoriumBlob\n2\n0\n" + body, false},
      {"VantoriumBlob\n4294967297\n0\n" + body, false},  // wraps to 1
      {"vantoriumBlob\n1\n0\n" + body, false},
      {"VantoriumBlob\n1\n64\n" + Sections(64, 1) + body, true},
      {"VantoriumBlob\n1\n65\n" + Sections(65, 1) + body, false},
      {"VantoriumBlob\n1\n1\n" + Sections(1, 1 << 20) + body, true},
      {"VantoriumBlob\n1\n1\n" + Sections(1, (1 << 20) + 1) + body, false},
      {Unsigned("TOC\nDATA\n"), false},
      {Unsigned("TOC \nFILES\n"), false},
      {"VantoriumBlob\n1\n1\nXYZ \n0\n" + body, false},  // empty section
      {"VantoriumBlob\n1\n1\nELGA\n513\n" + std::string(513, 'x') + body,
       false},  // signature above 512 bytes
      {Unsigned(toc + Forks(1024) + "DATA\n"), true},
      {Unsigned(toc + Forks(1025) + "DATA\n"), false},  // above the bound
      {Unsigned(toc + "3\nALL_MAIN\n0\n1\n1\nDATA\n"), false},  // forks missing
      {Unsigned(toc + "1\nALL_MAIN\n2147483648\n1\n1\nDATA\n"), false},
      {Unsigned("TOC \nFILE\n" + std::string(70000, 'n') + "\n0\nDATA\n"),
       false},  // name line above the bound
      {Unsigned(toc + std::string(256, '0') + "\nDATA\n"), false},
      // 255 digits and the LF fill a number line exactly.
      {Unsigned(toc + std::string(254, '0') + "1\nALL_MAIN\n0\n0\n0\nDATA\n"),
       true}};
  for (const auto& [bytes, ok] : cases) {
    EXPECT_EQ(OpenBytes(bytes), ok) << bytes.substr(0, 60);
  }
}

TEST(BlobReaderTest, EveryTruncationOfASignedBlobFailsOpen) {
  const std::string whole = BuildSignedBlob(
      {{"component/id", "core"}, {"bin/viewer.dll", "MZ payload"}});
  const std::size_t data_start = whole.find("DATA\n") + 5;
  for (std::size_t length = 0; length < data_start; ++length) {
    EXPECT_FALSE(OpenBytes(whole.substr(0, length), BlobCheck::Signature))
        << length;
  }
  EXPECT_TRUE(OpenBytes(whole, BlobCheck::Signature));
}

// A blob of one fork "f" with the given data and recorded sizes.
std::string RawBlob(const std::string& data, std::size_t compressed,
                    std::size_t uncompressed) {
  return Unsigned("TOC \nFILE\nf\n1\nALL_MAIN\n0\n" +
                  std::to_string(compressed) + "\n" +
                  std::to_string(uncompressed) + "\nDATA\n" + data);
}

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 engine(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(engine() & 0xFF);
  return bytes;
}

// Records every piece the reader delivers; refuses the one numbered refuse_at.
struct Pieces {
  std::string bytes;
  std::size_t calls = 0, refuse_at = 0;
};

bool PieceSink(void* context, const char* bytes, std::size_t count) {
  auto* pieces = static_cast<Pieces*>(context);
  EXPECT_TRUE(count >= 1 && count <= 8192) << count;
  pieces->bytes.append(bytes, count);
  return ++pieces->calls != pieces->refuse_at;
}

bool Extract(const std::string& blob_bytes, ForkSink sink, void* context,
             const std::string& file = "f") {
  MemoryBlob blob(blob_bytes);
  BlobReader reader(blob.stream());
  EXPECT_TRUE(reader.Open(BlobCheck::None, false));
  return reader.ExtractFork(sink, context, file, kMainFork);
}

// The recorded sizes are limits: a stream that runs past either fails at
// once, no sink receives more than recorded (a bomb), and whatever is
// delivered is the start of the true contents.
TEST(ExtractForkTest, BombsStopAtTheRecordedSizes) {
  const std::string text = "the contents of a file", z = ZlibCompress(text),
                    e = ZlibCompress("");
  const std::size_t c = z.size(), u = text.size();
  const std::string zeros = ZlibCompress(std::string(16 << 20, '\0'));
  const std::string random = RandomBytes(100000, 5),
                    stored = ZlibCompress(random);
  const std::string trailer = "trailing bytes";
  const std::string cut = RawBlob(stored, stored.size(), random.size());
  const struct {
    const char* what;
    std::string blob;
    std::string truth;
    bool extracts;
    std::size_t most;  // delivered at most
  } cases[] = {
      {"honest", RawBlob(z, c, u) + trailer, text, true, u},
      {"empty", RawBlob(e, e.size(), 0), "", true, 0},
      {"compressed + 1", RawBlob(z, c + 1, u) + trailer, text, false, u},
      {"compressed - 1", RawBlob(z, c - 1, u), text, false, u},
      {"uncompressed + 1", RawBlob(z, c, u + 1), text, false, u},
      {"16 MiB announced as 5 bytes", RawBlob(zeros, zeros.size(), 5),
       std::string(5, '\0'), false, 5},
      {"cut after a piece", cut.substr(0, cut.size() - 8193), random, false,
       random.size() - 1},
      {"bad Adler-32", RawBlob(CorruptBlob(z, c - 1), c, u), text, false, u}};
  for (const auto& t : cases) {
    Pieces pieces;
    EXPECT_EQ(Extract(t.blob, &PieceSink, &pieces), t.extracts) << t.what;
    EXPECT_LE(pieces.bytes.size(), t.most) << t.what;
    EXPECT_EQ(t.truth.compare(0, pieces.bytes.size(), pieces.bytes), 0)
        << t.what;
    EXPECT_TRUE(!t.extracts || pieces.bytes == t.truth) << t.what;
  }
}

TEST(ExtractForkTest, AbsentForksOffsetsOutsideAndRefusingSinksFail) {
  const std::string stored = ZlibCompress(RandomBytes(100000, 4));
  // A second file "far" at an offset far beyond the blob's end.
  std::string blob = RawBlob(stored, stored.size(), 100000);
  blob.insert(blob.find("DATA\n"),
              "FILE\nfar\n1\nALL_MAIN\n2147483647\n9\n1\n");
  Pieces pieces, refusing;
  EXPECT_FALSE(Extract(blob, &PieceSink, &pieces, "far"));
  EXPECT_FALSE(Extract(blob, &PieceSink, &pieces, "g"));
  EXPECT_EQ(pieces.calls, 0u);
  refusing.refuse_at = 2;
  EXPECT_FALSE(Extract(blob, &PieceSink, &refusing));
  EXPECT_EQ(refusing.calls, 2u);
}

// What it writes reads back through bfold's tests; here the refusals, the
// progress and no scratch file left when a source is missing.
TEST(BlobWriterTest, ReportsProgressAndRefusesBadInput) {
  const std::string big = RandomBytes(300000, 1),
                    out = ::testing::TempDir() + "w.blob";
  BlobWriter writer;
  std::string error, on_disk;
  EXPECT_FALSE(writer.AddBytesFork("a", "", "x", &error));
  ASSERT_TRUE(writer.AddBytes("a", big, &error));
  EXPECT_FALSE(writer.AddBytes("a", "y", &error));
  EXPECT_NE(error.find("\"a\""), std::string::npos);
  ASSERT_TRUE(writer.AddBytesFork("a", "MACOS_FINDER", "rsrc", &error));
  writer.SetSigningKey(&DemoBlobKey());
  std::uint64_t last_done = 0;
  writer.SetProgress([&](std::uint64_t done, std::uint64_t total) {
    EXPECT_EQ(total, big.size() + 4);
    last_done = done;
  });
  ASSERT_TRUE(writer.WriteToFile(out, &error)) << error;
  EXPECT_EQ(last_done, big.size() + 4);
  std::remove(out.c_str());
  ASSERT_TRUE(writer.AddFile("b", out + ".no_such_source", &error));
  EXPECT_FALSE(writer.WriteToFile(out, &error));
  EXPECT_NE(error.find("no_such_source"), std::string::npos);
  for (const char* end : {"", ".part~", ".spool~"}) {
    EXPECT_FALSE(ReadWholeFile(out + end, &on_disk)) << end;
  }
}

}  // namespace
}  // namespace brackenfold
