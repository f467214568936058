#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "blob/blob_reader.h"
#include "blob/blob_writer.h"
#include "tests/blob/blob_stream_fixture.h"
#include "tests/support/blob_builder.h"

namespace brackenfold {
namespace {

// One fork of a hand-made blob: its data bytes and the sizes the table
// announces for it.
struct RawFork {
  std::string file;
  std::string data;
  std::uint32_t compressed_size;
  std::uint32_t uncompressed_size;
};

std::string RawBlob(const std::vector<RawFork>& forks,
                    const std::string& trailer = "") {
  std::string toc = "TOC \n", data;
  for (const RawFork& fork : forks) {
    toc += "FILE\n" + fork.file + "\n1\nALL_MAIN\n" +
           std::to_string(data.size()) + "\n" +
           std::to_string(fork.compressed_size) + "\n" +
           std::to_string(fork.uncompressed_size) + "\n";
    data += fork.data;
  }
  return "VantoriumBlob\n1\n0\n" + toc + "DATA\n" + data + trailer;
}

RawFork Fork(const std::string& file, const std::string& contents) {
  std::string z = ZlibCompress(contents);
  return {file, z, static_cast<std::uint32_t>(z.size()),
          static_cast<std::uint32_t>(contents.size())};
}

// Records every piece the reader delivers.
struct Pieces {
  std::string bytes;
  std::size_t calls = 0;
  std::size_t largest = 0;
  std::size_t smallest = static_cast<std::size_t>(-1);
  std::size_t refuse_after = static_cast<std::size_t>(-1);
};

bool PieceSink(void* context, const char* bytes, std::size_t count) {
  auto* pieces = static_cast<Pieces*>(context);
  ++pieces->calls;
  pieces->bytes.append(bytes, count);
  if (count > pieces->largest) pieces->largest = count;
  if (count < pieces->smallest) pieces->smallest = count;
  return pieces->calls < pieces->refuse_after;
}

class Extraction {
 public:
  explicit Extraction(std::string bytes)
      : blob_(std::move(bytes)), reader_(blob_.stream()) {
    opened_ = reader_.Open(BlobCheck::None, false);
  }
  bool opened() const { return opened_; }
  bool Extract(const std::string& file, Pieces* pieces,
               const std::string& fork = kMainFork) {
    return reader_.ExtractFork(&PieceSink, pieces, file, fork);
  }
  BlobReader& reader() { return reader_; }

 private:
  MemoryBlob blob_;
  BlobReader reader_;
  bool opened_;
};

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 engine(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(engine() & 0xFF);
  return bytes;
}

TEST(ExtractForkTest, WriterRoundTripWithSeveralForks) {
  BlobWriter writer;
  std::string error;
  const std::string big = RandomBytes(300000, 1) + std::string(200000, 'a');
  ASSERT_TRUE(writer.AddBytes("bin/viewer.dll", big, &error));
  ASSERT_TRUE(
      writer.AddBytesFork("bin/viewer.dll", "MACOS_RESOURCE", "rsrc", &error));
  ASSERT_TRUE(
      writer.AddBytesFork("bin/viewer.dll", "UNIX_EXECUTABLE", "", &error));
  ASSERT_TRUE(writer.AddBytes("component/id", "core\n", &error));
  ASSERT_TRUE(writer.AddBytes("docs/a b.txt", "hello", &error));
  writer.SetSigningKey(&DemoBlobKey());
  std::string blob;
  ASSERT_TRUE(writer.WriteToString(&blob, &error)) << error;

  MemoryBlob memory(blob);
  BlobReader reader(memory.stream());
  ASSERT_TRUE(reader.Open(BlobCheck::Signature, false));
  const std::vector<std::tuple<std::string, std::string, std::string>> want = {
      {"bin/viewer.dll", "ALL_MAIN", big},
      {"bin/viewer.dll", "MACOS_RESOURCE", "rsrc"},
      {"bin/viewer.dll", "UNIX_EXECUTABLE", ""},
      {"component/id", "ALL_MAIN", "core\n"},
      {"docs/a b.txt", "ALL_MAIN", "hello"},
  };
  for (const auto& [file, fork, contents] : want) {
    Pieces pieces;
    EXPECT_TRUE(reader.ExtractFork(&PieceSink, &pieces, file, fork))
        << file << " " << fork;
    EXPECT_EQ(pieces.bytes, contents) << file << " " << fork;
    if (pieces.calls > 0) {
      EXPECT_LE(pieces.largest, 8192u);
      EXPECT_GE(pieces.smallest, 1u);
    }
  }
  // Extraction again, in another order, seeks afresh.
  Pieces again;
  EXPECT_TRUE(
      reader.ExtractFork(&PieceSink, &again, "docs/a b.txt", kMainFork));
  EXPECT_EQ(again.bytes, "hello");
}

TEST(ExtractForkTest, EmptyForkNeverCallsTheSink) {
  Extraction blob(RawBlob({Fork("empty", "")}));
  ASSERT_TRUE(blob.opened());
  Pieces pieces;
  EXPECT_TRUE(blob.Extract("empty", &pieces));
  EXPECT_EQ(pieces.calls, 0u);
}

TEST(ExtractForkTest, RecordedSizesMustMatchAfterInflating) {
  const std::string contents = "the contents of a file";
  RawFork larger = Fork("f", contents);
  ++larger.compressed_size;
  RawFork smaller = Fork("f", contents);
  --smaller.compressed_size;
  RawFork wrong_output = Fork("f", contents);
  ++wrong_output.uncompressed_size;
  for (const RawFork& fork : {larger, smaller, wrong_output}) {
    Extraction blob(RawBlob({fork}, "trailing bytes"));
    ASSERT_TRUE(blob.opened());
    Pieces pieces;
    EXPECT_FALSE(blob.Extract("f", &pieces));
    EXPECT_EQ(pieces.bytes, contents);  // delivered all the same
  }
}

// Bombs: data that inflates to far more than the table announces, or a zlib
// stream that runs past its recorded compressed size. Extraction fails at the
// recorded limit; no sink ever receives more, and a text stays within its own
// limit even when the table announces more.
TEST(ExtractForkTest, BombsStopAtTheRecordedSizes) {
  const std::string zeros = ZlibCompress(std::string(16 << 20, '\0'));
  const std::string random = RandomBytes(100000, 5);
  const std::string stored = ZlibCompress(random);  // about as long as random
  const std::string text(2 << 20, 'a');
  const std::string long_text = ZlibCompress(text);
  auto size = [](const std::string& s) {
    return static_cast<std::uint32_t>(s.size());
  };
  struct Case {
    const char* what;
    RawFork fork;
    bool extracts;  // into a sink without a limit of its own
    std::size_t most_delivered;
  };
  const std::vector<Case> cases = {
      {"16 MiB announced as 5 bytes", {"f", zeros, size(zeros), 5}, false, 5},
      {"16 MiB announced as empty", {"f", zeros, size(zeros), 0}, false, 0},
      {"stream past its compressed size",
       {"f", stored, 1000, size(random)},
       false,
       1000},
      {"text above the text limit",
       {"f", long_text, size(long_text), size(text)},
       true,
       text.size()},
  };
  for (const Case& c : cases) {
    Extraction blob(RawBlob({c.fork}));
    ASSERT_TRUE(blob.opened());
    Pieces pieces;
    EXPECT_EQ(blob.Extract("f", &pieces), c.extracts) << c.what;
    EXPECT_LE(pieces.bytes.size(), c.most_delivered) << c.what;
    std::string target;
    TextSinkContext context{&target};
    EXPECT_FALSE(blob.reader().ExtractFork(&TextSink, &context, "f", kMainFork))
        << c.what;
    EXPECT_LE(target.size(), std::min(c.most_delivered, kMaxTextSinkSize))
        << c.what;
  }
}

TEST(ExtractForkTest, ForkEndingAtTheEndOfTheBlob) {
  std::string contents = RandomBytes(20000, 2);
  Extraction blob(RawBlob({Fork("a", "first"), Fork("b", contents)}));
  ASSERT_TRUE(blob.opened());
  Pieces pieces;
  EXPECT_TRUE(blob.Extract("b", &pieces));
  EXPECT_EQ(pieces.bytes, contents);
}

TEST(ExtractForkTest, TruncatedDataFailsAndDeliversOnlyTrueBytes) {
  std::string contents = RandomBytes(50000, 3);
  RawFork fork = Fork("f", contents);
  std::string whole = RawBlob({fork});
  for (std::size_t cut : {1u, 100u, 8192u, 8193u, 30000u}) {
    Extraction blob(whole.substr(0, whole.size() - cut));
    ASSERT_TRUE(blob.opened());
    Pieces pieces;
    EXPECT_FALSE(blob.Extract("f", &pieces)) << cut;
    EXPECT_EQ(pieces.bytes, contents.substr(0, pieces.bytes.size())) << cut;
    if (cut > 4) {  // past the Adler-32 trailer some output is missing
      EXPECT_LT(pieces.bytes.size(), contents.size()) << cut;
    }
  }
}

TEST(ExtractForkTest, OnlyZlibFormatIsAccepted) {
  const std::string contents = "some text that is deflated";
  std::string zlib = ZlibCompress(contents);
  // Raw deflate: the zlib stream without its 2-byte header and 4-byte trailer.
  std::string raw = zlib.substr(2, zlib.size() - 6);
  // gzip: a 10-byte header, the same deflate data, CRC-32 and size.
  std::string gzip = std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10) + raw;
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(contents.data()),
                    static_cast<uInt>(contents.size()));
  for (int i = 0; i < 4; ++i) gzip.push_back(static_cast<char>(crc >> (8 * i)));
  for (int i = 0; i < 4; ++i) {
    gzip.push_back(static_cast<char>(contents.size() >> (8 * i)));
  }
  for (const std::string& data : {raw, gzip}) {
    RawFork fork{"f", data, static_cast<std::uint32_t>(data.size()),
                 static_cast<std::uint32_t>(contents.size())};
    Extraction blob(RawBlob({fork}));
    ASSERT_TRUE(blob.opened());
    Pieces pieces;
    EXPECT_FALSE(blob.Extract("f", &pieces));
    EXPECT_EQ(pieces.calls, 0u);
  }
}

TEST(ExtractForkTest, RefusingSinkStopsAtOnce) {
  std::string contents = RandomBytes(100000, 4);
  Extraction blob(RawBlob({Fork("f", contents)}));
  ASSERT_TRUE(blob.opened());
  Pieces pieces;
  pieces.refuse_after = 2;
  EXPECT_FALSE(blob.Extract("f", &pieces));
  EXPECT_EQ(pieces.calls, 2u);
}

TEST(ExtractForkTest, AbsentForksAndOffsetsOutsideTheBlobFail) {
  std::string blob_bytes = RawBlob({Fork("f", "contents")});
  // An offset that wraps the 32-bit position sum lands outside the blob.
  std::string toc_entry = "far\n1\nALL_MAIN\n2147483647\n";
  blob_bytes.insert(blob_bytes.find("DATA\n"), "FILE\n" + toc_entry + "9\n1\n");
  Extraction blob(blob_bytes);
  ASSERT_TRUE(blob.opened());
  Pieces pieces;
  EXPECT_FALSE(blob.Extract("far", &pieces));
  EXPECT_FALSE(blob.Extract("f", &pieces, "MACOS_RESOURCE"));
  EXPECT_FALSE(blob.Extract("g", &pieces));
  EXPECT_TRUE(blob.Extract("f", &pieces));
  EXPECT_EQ(pieces.bytes, "contents");
}

TEST(ForkSinkTest, TextSinkCutsAtTheCursorAndHonoursEnabled) {
  std::string target = "old text";
  TextSinkContext context{&target};
  EXPECT_TRUE(TextSink(&context, "new", 3));
  EXPECT_EQ(target, "new");
  EXPECT_EQ(context.cursor, 3u);
  EXPECT_TRUE(TextSink(&context, "er", 2));
  EXPECT_EQ(target, "newer");
  context.cursor = 1;
  EXPECT_TRUE(TextSink(&context, "ow", 2));
  EXPECT_EQ(target, "now");
  context.limit = 4;  // a text may grow to the limit, and no further
  EXPECT_TRUE(TextSink(&context, "w", 1));
  EXPECT_FALSE(TextSink(&context, "s", 1));
  context.cursor = 3;
  EXPECT_TRUE(TextSink(&context, "!", 1));
  EXPECT_EQ(target, "now!");
  context.enabled = false;
  EXPECT_FALSE(TextSink(&context, "x", 1));
  EXPECT_EQ(target, "now!");
}

TEST(ForkSinkTest, FileSinkWritesEveryByte) {
  std::string path = ::testing::TempDir() + "file_sink_test.bin";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(FileSink(file, "abc\0def", 7));
  std::fclose(file);
  std::string written;
  ASSERT_TRUE(ReadWholeFile(path, &written));
  EXPECT_EQ(written, std::string("abc\0def", 7));
  file = std::fopen(path.c_str(), "rb");  // a stream that cannot be written
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(FileSink(file, "x", 1));
  std::fclose(file);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace brackenfold
