// Eight bfold install processes put eight components into one store at once,
// round after round. Each process either installs or fails cleanly because it
// did not get the store lock in time; every installed component is in the
// index exactly once, the index is whole, and no stored file is shared.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/component/component_test_support.h"
#include "tests/reliability/reliability_support.h"

namespace brackenfold {
namespace {

constexpr int kProcesses = 8;
constexpr int kRounds = 3;

std::string Payload(const std::string& id, std::size_t size) {
  std::string bytes;
  bytes.reserve(size);
  unsigned state = 0;
  for (char c : id) state = state * 131 + static_cast<unsigned char>(c);
  while (bytes.size() < size) {
    state = state * 1103515245u + 12345u;
    bytes += static_cast<char>(state >> 24);
  }
  return bytes;
}

TEST(StoreContention, EightInstallersIntoOneStoreEachSucceedOrFailCleanly) {
  ScratchDirectory scratch;
  const std::string store = scratch.Join("store/");
  const std::string tmp = scratch.Join("tmp/");
  ASSERT_TRUE(FilePath(store).MakeDirectory());
  ASSERT_TRUE(FilePath(tmp).MakeDirectory());

  std::map<std::string, std::string> contents;  // stored name -> bytes
  std::set<std::string> installed;
  int successes = 0, lock_failures = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::string> ids;
    std::vector<pid_t> children;
    std::map<std::string, std::string> payloads;  // id -> payload bytes
    for (int i = 0; i < kProcesses; ++i) {
      const std::string id =
          "R" + std::to_string(round) + "C" + std::to_string(i);
      BlobFiles files = ComponentFiles(id, round + 1);
      // The same payload name in every blob: the stored names must still
      // differ between the processes.
      payloads[id] = Payload(id, 48 * 1024);
      files.emplace_back("shared.bin", payloads[id]);
      const std::string blob = scratch.Join(id + ".blob");
      ASSERT_TRUE(WriteSignedBlob(blob, files));
      ids.push_back(id);
    }
    for (const std::string& id : ids) {
      children.push_back(StartBfold(
          {"install", "--dir", store, scratch.Join(id + ".blob")},
          scratch.Join(id + ".out"), scratch.Join(id + ".err"), tmp));
    }
    std::set<std::string> round_ok;
    for (int i = 0; i < kProcesses; ++i) {
      const int status = WaitForChild(children[i]);
      const std::string err = FileBytes(scratch.Join(ids[i] + ".err"));
      if (status == 0) {
        round_ok.insert(ids[i]);
        ++successes;
      } else {
        ASSERT_EQ(status, 1) << ids[i] << ": " << err;
        EXPECT_NE(err.find("bfold install: could not install into"),
                  std::string::npos)
            << ids[i] << ": " << err;
        ++lock_failures;
      }
    }
    EXPECT_FALSE(round_ok.empty()) << "round " << round;
    installed.insert(round_ok.begin(), round_ok.end());

    std::vector<IndexEntry> entries;
    std::string why;
    ASSERT_TRUE(ReadIndexStrictly(store + "compindx.dat", &entries, &why))
        << why;
    std::map<std::string, int> seen;
    for (const IndexEntry& entry : entries) ++seen[entry.id];
    for (const std::string& id : installed) {
      EXPECT_EQ(seen[id], 1) << id << " in the index after round " << round;
    }
    EXPECT_EQ(entries.size(), installed.size());
    std::set<std::string> stored;
    ASSERT_TRUE(CollectStoredNames(entries, &stored))
        << "a stored file is referenced twice";
    for (const IndexEntry& entry : entries) {
      ASSERT_EQ(entry.files.size(), 1u) << entry.id;
      const std::string& name = entry.files.begin()->second;
      if (payloads.count(entry.id) != 0) {
        contents[name] = payloads[entry.id];
      }
      EXPECT_EQ(FileBytes(store + name), contents[name])
          << entry.id << " stored as " << name;
    }
    // Nothing but the index and the referenced files: a process that failed
    // wrote nothing.
    for (const std::string& file : ListDirectory(store)) {
      if (file == "compindx.dat" || file == "compindx.dat.lock") continue;
      EXPECT_EQ(stored.count(file), 1u) << "unreferenced file " << file;
    }
  }
  EXPECT_TRUE(ListDirectory(tmp).empty()) << "bfold left temporary files";
  RecordProperty("successes", successes);
  RecordProperty("lock_failures", lock_failures);
  std::printf("contention: %d installed, %d gave up on the lock\n", successes,
              lock_failures);
}

}  // namespace
}  // namespace brackenfold
