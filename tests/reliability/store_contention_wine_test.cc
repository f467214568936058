// Eight processes install eight different components into one store at once
// on Windows itself (under Wine), with the real lock file and index
// replacement. Each process either installs or fails cleanly because it did
// not get the store lock in time; every installed component is in the index
// exactly once, the index is whole, no stored file is shared, and every stored
// file holds its payload.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "component/component_install.h"
#include "store/file_path.h"
#include "store/index_file.h"
#include "store/installed_components.h"
#include "tests/support/blob_builder.h"

namespace brackenfold {
namespace {

std::string g_self;  // this program's path, for the child copies

constexpr const char kChildFlag[] = "--contention-child";
constexpr int kProcesses = 8;
constexpr DWORD kInstalled = 0;
constexpr DWORD kGaveUp = 3;
constexpr DWORD kWaitMs = 120000;
constexpr std::size_t kPayloadSize = 256 * 1024;

// A child copy: installs one blob into the store directory (given without a
// trailing backslash, so that the quoting survives the command line).
int RunChild(const std::string& store, const std::string& blob) {
  return InstallComponents(
             SearchInstalledComponents(SearchDirectories(false, "")),
             FilePath(store + "\\"), {FilePath(blob)})
             ? static_cast<int>(kInstalled)
             : static_cast<int>(kGaveUp);
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// "payload <i>" followed by pseudo-random bytes, enough that an installer
// holds the lock for a while.
std::string Payload(int i, std::size_t size) {
  std::string bytes = "payload " + std::to_string(i) + "\n";
  unsigned state = 2654435761u * static_cast<unsigned>(i + 1);
  while (bytes.size() < size) {
    state = state * 1103515245u + 12345u;
    bytes += static_cast<char>(state >> 24);
  }
  return bytes;
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool AppendToString(void* context, const char* bytes, std::size_t count) {
  static_cast<std::string*>(context)->append(bytes, count);
  return true;
}

std::string IndexText(const std::vector<IndexEntry>& entries) {
  std::string text;
  for (const IndexEntry& entry : entries) {
    WriteIndexEntry(entry, &AppendToString, &text);
  }
  return text;
}

std::vector<std::string> ListDirectory(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& item : std::filesystem::directory_iterator(dir, error)) {
    names.push_back(item.path().filename().string());
  }
  return names;
}

class ContentionWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    ASSERT_NE(GetTempPathA(MAX_PATH, temp), 0u);
    root_ = std::string(temp) + "bf_contention_" +
            std::to_string(GetCurrentProcessId()) + "_" +
            std::to_string(GetTickCount());
    store_ = root_ + "\\store";
    ASSERT_TRUE(CreateDirectoryA(root_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(store_.c_str(), nullptr));
  }
  void TearDown() override {
    for (PROCESS_INFORMATION& process : processes_) {
      if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, INFINITE);
      }
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    }
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  bool Start(const std::string& blob) {
    std::string command = "\"" + g_self + "\" " + kChildFlag + " \"" + store_ +
                          "\" \"" + blob + "\"";
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof process);
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &process)) {
      return false;
    }
    processes_.push_back(process);
    return true;
  }

  std::string root_;   // scratch directory, no trailing backslash
  std::string store_;  // the store directory, no trailing backslash
  std::vector<PROCESS_INFORMATION> processes_;
};

TEST_F(ContentionWineTest,
       EightInstallersIntoOneStoreEachSucceedOrFailCleanly) {
  // An index with one entry already, which every installer must keep.
  const IndexEntry earlier{"EARLIER", 2, {{"old.txt", "old00001.txt"}}};
  {
    std::ofstream(store_ + "\\old00001.txt", std::ios::binary) << "old bytes";
    std::string text = IndexText({earlier});
    std::ofstream(store_ + "\\compindx.dat", std::ios::binary) << text;
  }

  std::vector<std::string> ids;
  std::map<std::string, std::string> payloads;  // id -> payload bytes
  for (int i = 0; i < kProcesses; ++i) {
    const std::string id = "C" + std::to_string(i);
    BlobFiles files = ComponentFiles(id, 1);
    // The same payload name in every blob: the stored names must still differ.
    payloads[id] = Payload(i, kPayloadSize);
    files.emplace_back("p.txt", payloads[id]);
    const std::string blob = root_ + "\\" + id + ".blob";
    ASSERT_TRUE(WriteSignedBlob(blob, files));
    ids.push_back(id);
  }

  for (const std::string& id : ids) {
    ASSERT_TRUE(Start(root_ + "\\" + id + ".blob")) << id;
  }
  std::vector<HANDLE> handles;
  for (const PROCESS_INFORMATION& process : processes_) {
    handles.push_back(process.hProcess);
  }
  ASSERT_EQ(WaitForMultipleObjects(static_cast<DWORD>(handles.size()),
                                   handles.data(), TRUE, kWaitMs),
            WAIT_OBJECT_0)
      << "the installers did not all finish in time";

  std::set<std::string> installed;
  int gave_up = 0;
  for (int i = 0; i < kProcesses; ++i) {
    DWORD code = 255;
    ASSERT_TRUE(GetExitCodeProcess(processes_[i].hProcess, &code));
    if (code == kInstalled) {
      installed.insert(ids[i]);
    } else {
      EXPECT_EQ(code, kGaveUp) << ids[i];
      ++gave_up;
    }
  }
  EXPECT_FALSE(installed.empty()) << "no installer succeeded";

  // The index reads whole: the entries read account for every byte.
  const std::string index_path = store_ + "\\compindx.dat";
  const std::string bytes = ReadBytes(index_path);
  std::vector<IndexEntry> entries;
  {
    IndexReader reader;
    ASSERT_TRUE(reader.Open(FilePath(index_path)));
    IndexEntry entry;
    while (reader.ReadEntry(&entry.id, &entry.version, &entry.files)) {
      entries.push_back(entry);
    }
  }
  EXPECT_EQ(IndexText(entries), bytes) << "the index is not whole";

  std::map<std::string, int> seen;
  for (const IndexEntry& entry : entries) ++seen[entry.id];
  EXPECT_EQ(seen["EARLIER"], 1);
  for (const std::string& id : installed) {
    EXPECT_EQ(seen[id], 1) << id << " in the index";
  }
  EXPECT_EQ(entries.size(), installed.size() + 1);

  std::set<std::string> stored;
  for (const IndexEntry& entry : entries) {
    for (const auto& file : entry.files) {
      EXPECT_TRUE(stored.insert(file.second).second)
          << file.second << " is referenced twice";
    }
  }
  for (const IndexEntry& entry : entries) {
    if (entry.id == "EARLIER") {
      EXPECT_EQ(entry.files, earlier.files);
      EXPECT_EQ(ReadBytes(store_ + "\\old00001.txt"), "old bytes");
      continue;
    }
    ASSERT_EQ(installed.count(entry.id), 1u) << "unexpected " << entry.id;
    ASSERT_EQ(entry.files.size(), 1u) << entry.id;
    const std::string& name = entry.files.begin()->second;
    EXPECT_EQ(entry.files.begin()->first, "p.txt") << entry.id;
    ASSERT_TRUE(Exists(store_ + "\\" + name))
        << entry.id << " stored as " << name;
    EXPECT_EQ(ReadBytes(store_ + "\\" + name), payloads[entry.id])
        << entry.id << " stored as " << name;
  }
  // Nothing but the index and the referenced files: a process that gave up
  // wrote nothing, and no temporary index or lock file is left behind.
  for (const std::string& file : ListDirectory(store_)) {
    if (file == "compindx.dat") continue;
    EXPECT_EQ(stored.count(file), 1u) << "unreferenced file " << file;
  }
  std::printf("contention: %zu installed, %d gave up on the lock\n",
              installed.size(), gave_up);
}

}  // namespace
}  // namespace brackenfold

int main(int argc, char** argv) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  brackenfold::g_self = self;
  if (argc == 4 && std::strcmp(argv[1], brackenfold::kChildFlag) == 0) {
    return brackenfold::RunChild(argv[2], argv[3]);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
