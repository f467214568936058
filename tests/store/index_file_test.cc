#include "store/index_file.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>
#include <vector>

#include "tests/store/store_test_support.h"

namespace brackenfold {
namespace {

struct StringSink {
  std::string bytes;
  std::vector<std::string> calls;
  int fail_on_call = -1;  // 0-based call that answers false

  static bool Write(void* context, const char* data, std::size_t count) {
    auto* self = static_cast<StringSink*>(context);
    if (static_cast<int>(self->calls.size()) == self->fail_on_call) {
      self->calls.emplace_back(data, count);
      return false;
    }
    self->calls.emplace_back(data, count);
    self->bytes.append(data, count);
    return true;
  }
};

std::string Written(const IndexEntry& entry) {
  StringSink sink;
  EXPECT_TRUE(WriteIndexEntry(entry, &StringSink::Write, &sink));
  return sink.bytes;
}

IndexEntry ViewerEntry() {
  return IndexEntry{
      "VIEWER",
      3,
      {{"bin.dat", "bin3C000000.dat"}, {"Viewer.dll", "viewer3C000000.dll"}}};
}

TEST(IndexWriterTest, WorkedExampleIsWrittenByteForByte) {
  StringSink sink;
  ASSERT_TRUE(WriteIndexEntry(ViewerEntry(), &StringSink::Write, &sink));
  EXPECT_EQ(sink.bytes,
            "component= VIEWER\n"
            "\tversion= 3\n"
            "\tinstalled_local= Viewer.dll;viewer3C000000.dll\n"
            "\tinstalled_local= bin.dat;bin3C000000.dat\n"
            "componentend\n");
  // One sink call per line.
  ASSERT_EQ(sink.calls.size(), 5u);
  EXPECT_EQ(sink.calls[0], "component= VIEWER\n");
  EXPECT_EQ(sink.calls[4], "componentend\n");
}

TEST(IndexWriterTest, EdgeEntries) {
  EXPECT_EQ(Written(IndexEntry{"CORE", 1, {}}),
            "component= CORE\n\tversion= 1\ncomponentend\n");
  EXPECT_EQ(Written(IndexEntry{"CORE", -12, {}}),
            "component= CORE\n\tversion= -12\ncomponentend\n");
  EXPECT_EQ(Written(IndexEntry{"X", INT32_MIN, {}}),
            "component= X\n\tversion= -2147483648\ncomponentend\n");
  const std::string long_name(300, 'n');
  EXPECT_EQ(Written(IndexEntry{"X", 1, {{long_name, "s"}}}),
            "component= X\n\tversion= 1\n\tinstalled_local= " + long_name +
                ";s\ncomponentend\n");
}

TEST(IndexWriterTest, StopsAtTheFirstFailingSinkCall) {
  for (int fail = 0; fail < 5; ++fail) {
    StringSink sink;
    sink.fail_on_call = fail;
    EXPECT_FALSE(WriteIndexEntry(ViewerEntry(), &StringSink::Write, &sink))
        << fail;
    EXPECT_EQ(sink.calls.size(), static_cast<std::size_t>(fail + 1)) << fail;
  }
}

TEST(IndexWriterTest, RefusesEntriesThatWouldNotReadBackAsWritten) {
  const struct {
    const char* what;
    IndexEntry entry;
  } cases[] = {
      {"line feed in id", {"A\ncomponentend", 1, {}}},
      {"carriage return in id", {"A\r", 1, {}}},
      {"blank id, which the reader skips", {"", 1, {}}},
      {"id with outer space", {" A", 1, {}}},
      {"NUL in id", {std::string("A\0B", 3), 1, {}}},
      {"NUL in registered name", {"A", 1, {{std::string("x\0y", 3), "s"}}}},
      {"line feed in registered name", {"A", 1, {{"x\ncomponent= EVIL", "s"}}}},
      {"line feed in stored name", {"A", 1, {{"x", "s\n"}}}},
      {"semicolon in registered name", {"A", 1, {{"a;b", "s"}}}},
      {"empty registered name", {"A", 1, {{"", "s"}}}},
      {"empty stored name", {"A", 1, {{"x", ""}}}},
      {"registered name with outer space", {"A", 1, {{" x", "s"}}}},
      {"stored name with outer tab", {"A", 1, {{"x", "s\t"}}}},
  };
  for (const auto& c : cases) {
    StringSink sink;
    EXPECT_FALSE(IndexEntryRoundTrips(c.entry)) << c.what;
    EXPECT_FALSE(WriteIndexEntry(c.entry, &StringSink::Write, &sink)) << c.what;
    EXPECT_TRUE(sink.calls.empty()) << c.what;
  }
  EXPECT_TRUE(IndexEntryRoundTrips(ViewerEntry()));
  EXPECT_TRUE(IndexEntryRoundTrips(IndexEntry{"A", 1, {{"a b", "s;t"}}}));
}

// An entry as a comparable, printable value.
using Row = std::tuple<std::string, std::int32_t, FileMap>;

Row AsRow(const IndexEntry& e) { return Row{e.id, e.version, e.files}; }

class IndexReaderTest : public ::testing::Test {
 protected:
  // Every entry the reader delivers for the bytes of an index file.
  std::vector<Row> ReadAll(const std::string& bytes) {
    WriteWholeFile(dir_ / kIndexFileName, bytes);
    IndexReader reader;
    EXPECT_TRUE(reader.Open(dir_ / kIndexFileName));
    std::vector<Row> entries;
    IndexEntry e;
    while (reader.ReadEntry(&e.id, &e.version, &e.files)) {
      // Whatever is read can be written again: rewriting an index never
      // fails on entries that came from it.
      EXPECT_TRUE(IndexEntryRoundTrips(e)) << e.id;
      entries.push_back(AsRow(e));
    }
    return entries;
  }
  ScratchDirectory dir_;
};

TEST_F(IndexReaderTest, ParsesWhatTheWriterWrites) {
  std::string bytes = Written(ViewerEntry()) +
                      Written(IndexEntry{"CORE", -4, {}}) +
                      Written(IndexEntry{"X", 9, {{"a", "b"}}});
  EXPECT_EQ(ReadAll(bytes), (std::vector<Row>{AsRow(ViewerEntry()),
                                              {"CORE", -4, {}},
                                              {"X", 9, {{"a", "b"}}}}));
}

TEST_F(IndexReaderTest, ReadsLinesLeniently) {
  const struct {
    const char* what;
    std::string bytes;
    std::vector<Row> want;
  } cases[] = {
      {"empty file", "", {}},
      {"keywords in any case with white space",
       "  COMPONENT = viewer \n  Version =  7 \nComponentEnd\n",
       {{"VIEWER", 7, {}}}},
      {"no version line", "component= a\ncomponentend\n", {{"A", 0, {}}}},
      {"later version wins",
       "component= a\nversion= 2\nversion= 5\ncomponentend\n",
       {{"A", 5, {}}}},
      {"atoi reading of versions",
       "component= a\nversion= 12abc\ncomponentend\n"
       "component= b\nversion= abc\ncomponentend\n"
       "component= c\nversion= +8\ncomponentend\n"
       "component= d\nversion= 99999999999\ncomponentend\n",
       {{"A", 12, {}}, {"B", 0, {}}, {"C", 8, {}}, {"D", INT32_MAX, {}}}},
      {"installed_local forms",
       "component= a\n"
       "installed_local= a.dll;b.dll\n"
       "installed_local= c.dll\n"
       "installed_local= ;d.dll\n"
       "installed_local= e.dll;\n"
       "installed_local= f.dll ;  g.dll\n"
       "installed_local= h;i;j\n"
       "installed_local=\n"
       "componentend\n",
       {{"A",
         0,
         {{"a.dll", "b.dll"},
          {"c.dll", "c.dll"},
          {"f.dll", "g.dll"},
          {"h", "i;j"}}}}},
      {"first pair for a registered name wins",
       "component= a\ninstalled_local= x;first\ninstalled_local= x;second\n"
       "componentend\n",
       {{"A", 0, {{"x", "first"}}}}},
      {"empty component line is skipped",
       "component=\nversion= 3\ncomponentend\ncomponent= b\ncomponentend\n",
       {{"B", 0, {}}}},
      {"text before the first entry is skipped",
       "garbage\n= value\n\n\nversion= 4\ncomponent= a\ncomponentend\n",
       {{"A", 0, {}}}},
      {"unknown keywords and a second component line are ignored",
       "component= a\nfoo= bar\ncomponent= b\nversion= 1\ncomponentend\n",
       {{"A", 1, {}}}},
      {"last line without its line feed is lost",
       "component= a\ncomponentend\ncomponent= b\ncomponentend",
       {{"A", 0, {}}}},
      {"entry cut off by the end of the file is dropped",
       "component= a\ncomponentend\ncomponent= b\nversion= 3\n",
       {{"A", 0, {}}}},
      {"carriage-return line feed line ends",
       "component= VIEWER\r\n\tversion= 3\r\n"
       "\tinstalled_local= Viewer.dll;viewer3C000000.dll\r\n"
       "\tinstalled_local= bin.dat;bin3C000000.dat\r\ncomponentend\r\n",
       {AsRow(ViewerEntry())}},
      {"bare carriage returns",
       "component= a\rversion= 2\rcomponentend\r",
       {{"A", 2, {}}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadAll(c.bytes), c.want) << c.what;
  }
}

TEST_F(IndexReaderTest, ReadEntryResetsItsOutputs) {
  WriteWholeFile(dir_ / kIndexFileName, "component= a\ncomponentend\n");
  IndexReader reader;
  ASSERT_TRUE(reader.Open(dir_ / kIndexFileName));
  std::string id = "OLD";
  std::int32_t version = 7;
  FileMap files{{"old", "old"}};
  ASSERT_TRUE(reader.ReadEntry(&id, &version, &files));
  EXPECT_EQ(id, "A");
  EXPECT_EQ(version, 0);
  EXPECT_TRUE(files.empty());
}

TEST_F(IndexReaderTest, OpenAndCloseStates) {
  IndexReader reader;
  std::string id;
  std::int32_t version;
  FileMap files;
  EXPECT_FALSE(reader.ReadEntry(&id, &version, &files));  // never opened
  EXPECT_FALSE(reader.Open(dir_ / "missing.dat"));
  EXPECT_FALSE(reader.ReadEntry(&id, &version, &files));

  WriteWholeFile(dir_ / "one", "component= one\ncomponentend\n");
  WriteWholeFile(dir_ / "two", "component= two\ncomponentend\n");
  ASSERT_TRUE(reader.Open(dir_ / "one"));
  ASSERT_TRUE(reader.Open(dir_ / "two"));  // the first stream is closed
  ASSERT_TRUE(reader.ReadEntry(&id, &version, &files));
  EXPECT_EQ(id, "TWO");
  reader.Close();
  EXPECT_FALSE(reader.ReadEntry(&id, &version, &files));
  reader.Close();  // twice is harmless
}

TEST_F(IndexReaderTest, RoundTripsThroughAStdioStream) {
  const std::string path = dir_ / kIndexFileName;
  std::FILE* out = std::fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  const IndexEntry core{"CORE", -1, {}};
  ASSERT_TRUE(WriteIndexEntry(ViewerEntry(), &StdioIndexSink, out));
  ASSERT_TRUE(WriteIndexEntry(core, &StdioIndexSink, out));
  ASSERT_EQ(std::fclose(out), 0);
  EXPECT_EQ(ReadAll(ReadWholeFile(path)),
            (std::vector<Row>{AsRow(ViewerEntry()), AsRow(core)}));
}

}  // namespace
}  // namespace brackenfold
