// Bad inputs, end to end: each goes through InstallComponents (or the install
// driver's own parsing) into a store that already holds one entry, and must
// fail clearly, leave the index byte for byte as it was, write no file, and
// not crash. docs/robustness.md lists these rows.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "component/component_install.h"
#include "tests/component/component_test_support.h"
#include "tests/reliability/reliability_support.h"
#include "win32/blob_list.h"
#include "win32/directory_path.h"

namespace brackenfold {
namespace {

const std::vector<IndexEntry> kOldIndex = {
    IndexEntry{"OLD", 4, {{"old.dll", "old3B000000.dll"}}}};

std::string Deflate(const std::string& bytes, int window_bits) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY),
            Z_OK);
  std::string out(deflateBound(&z, bytes.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// The descriptor forks of component BAD, plus the given payload forks.
std::vector<RawFork> WithDescriptor(std::vector<RawFork> payload) {
  std::vector<RawFork> forks = {
      GoodFork("component/description", "d"), GoodFork("component/id", "BAD"),
      GoodFork("component/prereq", ""), GoodFork("component/title", "t"),
      GoodFork("component/version", "1")};
  forks.insert(forks.end(), payload.begin(), payload.end());
  return forks;
}

// A hand-made table of contents and data area around one payload fork of
// "payload" with the given lines; signed properly.
std::string SignedToc(const std::string& fork_count_line,
                      const std::string& number_lines) {
  std::string body = "TOC \n";
  std::string data;
  for (const RawFork& fork : WithDescriptor({})) {
    body += "FILE\n" + fork.file_name + "\n1\nALL_MAIN\n" +
            std::to_string(data.size()) + "\n" +
            std::to_string(fork.data.size()) + "\n" +
            std::to_string(fork.uncompressed_size) + "\n";
    data += fork.data;
  }
  const RawFork payload = GoodFork("payload.bin", "payload");
  body += "FILE\npayload.bin\n" + fork_count_line + "ALL_MAIN\n" +
          (number_lines.empty()
               ? std::to_string(data.size()) + "\n" +
                     std::to_string(payload.data.size()) + "\n" +
                     std::to_string(payload.uncompressed_size) + "\n"
               : number_lines);
  data += payload.data;
  return SignedBodyBlob(body + "DATA\n" + data);
}

class BadInputTest : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    store_ = scratch_.Join("store/");
    ASSERT_TRUE(FilePath(store_).MakeDirectory());
    old_text_ = IndexText(kOldIndex);
    ASSERT_TRUE(WriteFileBytes(store_ + kIndexFileName, old_text_));
    good_ = BuildSignedRawBlob(
        WithDescriptor({GoodFork("payload.bin", "payload")}));
  }

  // Installs blob (alone) and expects a failure that changed nothing.
  void ExpectNothingInstalled(const std::string& blob,
                              const std::string& label) {
    const std::string path = scratch_.Join("bad.blob");
    ASSERT_TRUE(WriteFileBytes(path, blob));
    ExpectInstallChangesNothing({FilePath(path)}, label);
  }
  void ExpectInstallChangesNothing(const std::vector<FilePath>& blobs,
                                   const std::string& label) {
    const std::vector<std::string> before = ListDirectory(store_);
    EXPECT_FALSE(InstallComponents({}, FilePath(store_), blobs)) << label;
    EXPECT_EQ(FileBytes(store_ + kIndexFileName), old_text_) << label;
    EXPECT_EQ(ListDirectory(store_), before) << label;
  }
  void ExpectIndexUnchanged(const std::string& label) {
    EXPECT_EQ(FileBytes(store_ + kIndexFileName), old_text_) << label;
  }

  std::string store_;
  std::string old_text_;
  std::string good_;
};

TEST_F(BadInputTest, GoodBlobInstallsSoTheRowsBelowTestTheFault) {
  const std::string path = scratch_.Join("good.blob");
  ASSERT_TRUE(WriteFileBytes(path, good_));
  EXPECT_TRUE(InstallComponents({}, FilePath(store_), {FilePath(path)}));
  EXPECT_NE(FileBytes(store_ + kIndexFileName), old_text_);
}

TEST_F(BadInputTest, TruncatedBlobAtEveryOffsetInstallsNothing) {
  // Every offset covers each class: magic, version, section count, section
  // name, length and content, "TOC", file name, fork count, fork lines,
  // "DATA" and the data area.
  for (std::size_t size = 0; size < good_.size(); ++size) {
    ExpectNothingInstalled(good_.substr(0, size),
                           "cut at " + std::to_string(size));
    if (HasFailure()) return;
  }
}

TEST_F(BadInputTest, WrongMagicOrVersionInstallsNothing) {
  const std::size_t version_end = good_.find('\n', 14);
  const std::string rest = good_.substr(version_end + 1);
  for (const std::string& head :
       {std::string("vantoriumBlob\n1\n"), std::string("VantoriumBlob\r\n1\n"),
        std::string("VantoriumBlo\n1\n"), std::string("VantoriumBlob\n2\n"),
        std::string("VantoriumBlob\n0\n"), std::string("VantoriumBlob\n-1\n"),
        std::string("VantoriumBlob\n4294967297\n"),
        std::string("VantoriumBlob\n") + std::string(300, '1') + "\n"}) {
    ExpectNothingInstalled(head + rest, head);
  }
}

TEST_F(BadInputTest, HugeCountsAndLengthsInstallNothing) {
  const std::string body = good_.substr(BlobBodyOffset(good_));
  const std::string head = "VantoriumBlob\n1\n";
  for (const std::string& sections :
       {std::string("4294967295\n"), std::string("2147483648\n"),
        std::string("65\nSHA \n1\nx"), std::string("1\nSHA \n2147483647\nx"),
        std::string("1\nNOTE\n1048577\nx"), std::string("1\nELGA\n100000\nx"),
        std::string("1\n") + std::string(70000, 'N') + "\n1\nx"}) {
    ExpectNothingInstalled(head + sections + body, sections.substr(0, 40));
  }
  // Past the signature check, in the table of contents.
  for (const std::string& forks :
       {std::string("2147483647\n"), std::string("1025\n")}) {
    ExpectNothingInstalled(SignedToc(forks, ""), "fork count " + forks);
  }
  for (const std::string& numbers :
       {std::string("0\n2147483647\n7\n"), std::string("2147483647\n15\n7\n"),
        std::string("0\n15\n2147483647\n"),
        std::string("4294967295\n15\n7\n")}) {
    ExpectNothingInstalled(SignedToc("1\n", numbers), "fork " + numbers);
  }
}

TEST_F(BadInputTest, BadNumberLinesInstallNothing) {
  const std::string body = good_.substr(BlobBodyOffset(good_));
  for (const std::string& count :
       {std::string("+2\n"), std::string(" 2\n"), std::string("2 \n"),
        std::string("-1\n"), std::string("0x2\n"), std::string("2\t\n"),
        std::string("99999999999\n"), std::string(257, '0') + "2\n"}) {
    ExpectNothingInstalled("VantoriumBlob\n1\n" + count + body, count);
  }
  for (const std::string& forks :
       {std::string("+1\n"), std::string("1 \n"), std::string("one\n")}) {
    ExpectNothingInstalled(SignedToc(forks, ""), "fork count " + forks);
  }
  ExpectNothingInstalled(SignedToc("1\n", "0\n-15\n7\n"), "negative size");
}

TEST_F(BadInputTest, WrongOrTamperedSignaturesInstallNothing) {
  const std::size_t body_at = BlobBodyOffset(good_);
  // A changed byte anywhere in the sections or the body.
  for (std::size_t at = 16; at < good_.size(); at += 7) {
    ExpectNothingInstalled(CorruptBlob(good_, at),
                           "byte " + std::to_string(at));
    if (HasFailure()) return;
  }
  const std::string body = good_.substr(body_at);
  ExpectNothingInstalled(AssembleBlob({}, body), "no sections");
  BlobBuildOptions digest_only;
  digest_only.signature = false;
  ExpectNothingInstalled(BuildBlob(ComponentFiles("BAD", 1), digest_only),
                         "digest only");
  // A valid signature of another blob.
  const std::string other = BuildSignedRawBlob(
      WithDescriptor({GoodFork("payload.bin", "other payload")}));
  ExpectNothingInstalled(other.substr(0, BlobBodyOffset(other)) + body,
                         "sections of another blob");
}

TEST_F(BadInputTest, RawDeflateGzipAndCorruptZlibForksInstallNothing) {
  const std::string contents(20000, 'z');
  std::vector<RawFork> broken = {
      RawFork{"payload.bin", Deflate(contents, -15),
              static_cast<std::uint32_t>(contents.size())},
      RawFork{"payload.bin", Deflate(contents, 31),
              static_cast<std::uint32_t>(contents.size())}};
  RawFork flipped = GoodFork("payload.bin", contents);
  flipped.data[2] ^= 0x55;  // the first block header
  RawFork bad_check = GoodFork("payload.bin", contents);
  bad_check.data.back() ^= 0x01;  // Adler-32
  RawFork cut = GoodFork("payload.bin", contents);
  cut.data.resize(cut.data.size() - 5);
  RawFork garbage{"payload.bin", std::string(300, '\xff'), 300};
  RawFork trailing = GoodFork("payload.bin", contents);
  trailing.data += "extra";
  broken.insert(broken.end(), {flipped, bad_check, cut, garbage, trailing});
  for (const RawFork& fork : broken) {
    ExpectNothingInstalled(BuildSignedRawBlob(WithDescriptor({fork})),
                           "fork of " + std::to_string(fork.data.size()));
  }
}

TEST_F(BadInputTest, AbsoluteAndParentPayloadNamesInstallNothing) {
  for (const char* name : {"/etc/passwd", "\\windows\\evil.dll", "C:\\evil.dll",
                           "c:evil.dll", "../evil.dll", "..\\evil.dll",
                           "a/../../evil.dll", "a\\..\\..\\evil", ".."}) {
    ExpectNothingInstalled(
        BuildSignedRawBlob(WithDescriptor(
            {GoodFork("fine.txt", "fine"), GoodFork(name, "evil")})),
        name);
    EXPECT_FALSE(PathExists(scratch_.Join("evil.dll"))) << name;
  }
}

TEST_F(BadInputTest, LineEndsInNamesOrIdRecordNothing) {
  // A CR before the LF of a name line stays in the name: the index cannot
  // hold it, so the installation fails and the index stays as it was.
  for (const std::string& name :
       {std::string("evil\r.dll"), std::string("evil.dll\r")}) {
    const std::string path = scratch_.Join("cr.blob");
    ASSERT_TRUE(WriteFileBytes(
        path, BuildSignedRawBlob(WithDescriptor({GoodFork(name, "x")}))));
    EXPECT_FALSE(InstallComponents({}, FilePath(store_), {FilePath(path)}));
    ExpectIndexUnchanged("payload name with CR");
  }
  std::vector<RawFork> id_with_lf = {
      GoodFork("component/description", "d"),
      GoodFork("component/id", "EVIL\ncomponent= FORGED"),
      GoodFork("component/prereq", ""),
      GoodFork("component/title", "t"),
      GoodFork("component/version", "1"),
      GoodFork("payload.bin", "p")};
  const std::string path = scratch_.Join("id.blob");
  ASSERT_TRUE(WriteFileBytes(path, BuildSignedRawBlob(id_with_lf)));
  EXPECT_FALSE(InstallComponents({}, FilePath(store_), {FilePath(path)}));
  ExpectIndexUnchanged("id with LF");
  // A descriptor name with CR is not the descriptor file.
  std::vector<RawFork> descriptor_cr = WithDescriptor({});
  descriptor_cr[1].file_name = "component/id\r";
  ExpectNothingInstalled(BuildSignedRawBlob(descriptor_cr), "component/id CR");
}

TEST_F(BadInputTest, EmptyAndOverlongBlobListItemsInstallNothing) {
  const std::string good_path = scratch_.Join("good.blob");
  ASSERT_TRUE(WriteFileBytes(good_path, good_));
  for (const std::string& list :
       {std::string(""), good_path + ",", "," + good_path,
        good_path + ",," + good_path, std::string(100000, 'b'),
        good_path + "," + std::string(5000, 'x') + ".blob"}) {
    std::vector<FilePath> blobs;
    ParseBlobList(list.c_str(), &blobs);
    ExpectInstallChangesNothing(blobs, list.substr(0, 60));
  }
}

TEST_F(BadInputTest, OverlongPathsFailCleanly) {
  const std::string deep = store_ + std::string(5000, 'd') + "/";
  EXPECT_FALSE(InstallComponents({}, FilePath(deep), {}));
  std::string name_too_long = store_;
  for (int i = 0; i < 40; ++i) name_too_long += std::string(200, 'n') + "/";
  EXPECT_FALSE(InstallComponents({}, FilePath(name_too_long), {}));
  ExpectIndexUnchanged("overlong components directory");
  // A long payload name: the store cannot hold the file.
  ExpectNothingInstalled(BuildSignedRawBlob(WithDescriptor(
                             {GoodFork(std::string(300, 'p'), "p")})),
                         "300-character payload name");
  // The directory dialog's path creation refuses more than MAX_PATH.
  try {
    CreateDirectoryPath("C:\\" + std::string(300, 'a'));
    ADD_FAILURE() << "an overlong path was accepted";
  } catch (const FakeExit& exit) {
    EXPECT_EQ(exit.status, 1);
    ASSERT_FALSE(env_->boxes.empty());
    EXPECT_NE(env_->boxes.back().text.find("because the path is invalid"),
              std::string::npos);
  }
}

// Refuses what a read-only directory refuses (the tests may run as root,
// where a mode of 0555 stops nothing).
class ReadOnlyStoreEnv : public FakeEnv {
 public:
  bool NewDirectory(const std::string&) override {
    error_ = 5;
    return false;
  }
  int CreateNewFile(const std::string&) override { return 13; }  // EACCES
  int CreateFileIn(const std::string&, const std::string&,
                   std::FILE**) override {
    return 13;
  }
  std::unique_ptr<HeldLockFile> CreateLockFileIn(const std::string&,
                                                 const std::string&,
                                                 int*) override {
    return nullptr;
  }
  std::uint32_t LastError() override { return error_; }

 private:
  std::uint32_t error_ = 0;
};

TEST_F(BadInputTest, MissingOrReadOnlyComponentsDirectoryFailsCleanly) {
  const std::string path = scratch_.Join("good.blob");
  ASSERT_TRUE(WriteFileBytes(path, good_));
  EXPECT_FALSE(InstallComponents({}, FilePath(scratch_.Join("missing/deeper/")),
                                 {FilePath(path)}));
  EXPECT_FALSE(PathExists(scratch_.Join("missing")));

  ReadOnlyStoreEnv read_only;
  Env* previous = SetCurrentEnv(&read_only);
  EXPECT_FALSE(InstallComponents({}, FilePath(store_), {FilePath(path)}));
  EXPECT_FALSE(InstallComponents({}, FilePath(scratch_.Join("new-store/")),
                                 {FilePath(path)}));
  SetCurrentEnv(previous);
  ExpectIndexUnchanged("read-only store");
  EXPECT_EQ(ListDirectory(store_), std::vector<std::string>{kIndexFileName});
  EXPECT_FALSE(PathExists(scratch_.Join("new-store")));
}

// Runs an installation in a child process whose files may not grow past
// limit bytes, as on a full disk; answers the child's exit status.
int InstallWithFileSizeLimit(const std::string& store, const std::string& blob,
                             rlim_t limit) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);  // writes then fail with EFBIG
    const rlimit cap{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &cap);
    const bool ok = InstallComponents({}, FilePath(store), {FilePath(blob)});
    ::_exit(ok ? 0 : 1);
  }
  return WaitForChild(child);
}

TEST_F(BadInputTest, FullDiskDuringPayloadOrIndexFailsCleanly) {
  const std::string big(128 * 1024, 'B');
  const std::string path = scratch_.Join("big.blob");
  ASSERT_TRUE(WriteFileBytes(
      path, BuildSignedRawBlob(WithDescriptor({GoodFork("big.bin", big)}))));
  // The payload does not fit.
  EXPECT_EQ(InstallWithFileSizeLimit(store_, path, 64 * 1024), 1);
  ExpectIndexUnchanged("payload on a full disk");
  EXPECT_EQ(ListDirectory(store_), std::vector<std::string>{kIndexFileName});

  // The payload fits, the new index does not.
  std::vector<IndexEntry> many;
  for (int i = 0; i < 3000; ++i) {
    many.push_back(IndexEntry{"E" + std::to_string(i),
                              i,
                              {{"f.dll", "f" + std::to_string(i) + ".dll"}}});
  }
  old_text_ = IndexText(many);
  ASSERT_TRUE(WriteFileBytes(store_ + kIndexFileName, old_text_));
  ASSERT_GT(old_text_.size(), big.size() + 4096);
  EXPECT_EQ(InstallWithFileSizeLimit(store_, path, big.size() + 4096), 1);
  ExpectIndexUnchanged("index on a full disk");
  EXPECT_FALSE(PathExists(store_ + "compindx.dat.tmp"));
}

}  // namespace
}  // namespace brackenfold
