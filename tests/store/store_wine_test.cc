// The store lock, the index file, the store locations and the search on
// Windows itself (under Wine): a second copy of this program contends for the
// lock as another installer process would, and the store locations come from
// the real registry.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "store/index_file.h"
#include "store/installed_components.h"
#include "store/store_locations.h"
#include "store/store_lock.h"

namespace brackenfold {
namespace {

std::string g_self;  // this program's path, for the child copies

constexpr const char kChildFlag[] = "--store-child";

// What a child copy does: "acquire" tries the lock for 1,000 ms (exit 0 when
// it got it, 1 when not); "hold" takes it, says so with a marker file and
// waits to be terminated.
int RunChild(const std::string& mode, const std::string& index_path) {
  if (mode == "acquire") {
    StoreLock lock = AcquireStoreLock(index_path, kInstallLockTimeoutMs);
    if (!lock.held()) return 1;
    lock.Release();
    return 0;
  }
  if (mode == "hold") {
    StoreLock lock = AcquireStoreLock(index_path, kInstallLockTimeoutMs);
    if (!lock.held()) return 1;
    std::FILE* marker = std::fopen((index_path + ".ready").c_str(), "wb");
    if (marker) std::fclose(marker);
    for (;;) Sleep(1000);
  }
  return 2;
}

class Child {
 public:
  Child(const std::string& mode, const std::string& index_path) {
    std::string command = "\"" + g_self + "\" " + kChildFlag + " " + mode +
                          " \"" + index_path + "\"";
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    std::memset(&process_, 0, sizeof process_);
    started_ = CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0,
                              nullptr, nullptr, &startup, &process_) != 0;
  }
  ~Child() {
    if (!started_) return;
    if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.hProcess, 99);
      WaitForSingleObject(process_.hProcess, INFINITE);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return started_; }
  DWORD Wait() {
    DWORD code = 255;
    WaitForSingleObject(process_.hProcess, 30000);
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
  }
  void Kill() {
    TerminateProcess(process_.hProcess, 9);
    WaitForSingleObject(process_.hProcess, INFINITE);
  }

 private:
  bool started_ = false;
  PROCESS_INFORMATION process_;
};

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class WineStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    ASSERT_NE(GetTempPathA(MAX_PATH, temp), 0u);
    static int serial = 0;
    dir_ = std::string(temp) + "bf_store_" +
           std::to_string(GetCurrentProcessId()) + "_" +
           std::to_string(++serial) + "\\";
    ASSERT_TRUE(CreateDirectoryA(dir_.c_str(), nullptr));
    ResetStoreLocations();
  }
  void TearDown() override {
    ResetStoreLocations();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string Index() const { return dir_ + "compindx.dat"; }
  std::string Lock() const { return dir_ + "compindx.dat.lock"; }

  std::string dir_;  // ends in a backslash
};

TEST_F(WineStoreTest, LockFileIsExclusiveAndLeavesWithItsHandle) {
  StoreLock lock = AcquireStoreLock(Index(), kInstallLockTimeoutMs);
  ASSERT_TRUE(lock.held());
  EXPECT_TRUE(Exists(Lock()));
  // Share mode 0: not even this process opens it a second time.
  EXPECT_FALSE(AcquireStoreLock(Index(), kSearchLockTimeoutMs).held());
  lock.Release();
  EXPECT_FALSE(Exists(Lock()));
  lock = AcquireStoreLock(Index(), kSearchLockTimeoutMs);
  EXPECT_TRUE(lock.held());
  lock.Release();
}

TEST_F(WineStoreTest, LeftoverLockFileDoesNotBlockAndIsDeletedOnRelease) {
  WriteBytes(Lock(), "");
  StoreLock lock = AcquireStoreLock(Index(), kSearchLockTimeoutMs);
  ASSERT_TRUE(lock.held());
  lock.Release();
  EXPECT_FALSE(Exists(Lock()));
}

TEST_F(WineStoreTest, MissingDirectoryGivesNoneAndCreatesNothing) {
  EXPECT_FALSE(AcquireStoreLock(dir_ + "nowhere\\compindx.dat", 250).held());
  EXPECT_FALSE(Exists(dir_ + "nowhere"));
}

TEST_F(WineStoreTest, SecondProcessWaitsAndGetsTheLockAfterRelease) {
  StoreLock lock = AcquireStoreLock(Index(), kInstallLockTimeoutMs);
  ASSERT_TRUE(lock.held());
  Child child("acquire", Index());
  ASSERT_TRUE(child.started());
  Sleep(300);
  lock.Release();
  EXPECT_EQ(child.Wait(), 0u);
  EXPECT_FALSE(Exists(Lock()));
}

TEST_F(WineStoreTest, SecondProcessGivesUpAfterItsTimeOut) {
  StoreLock held = AcquireStoreLock(Index(), kInstallLockTimeoutMs);
  ASSERT_TRUE(held.held());
  Child child("acquire", Index());
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.Wait(), 1u);
}

TEST_F(WineStoreTest, TerminatedHolderReleasesTheStore) {
  Child child("hold", Index());
  ASSERT_TRUE(child.started());
  for (int i = 0; i < 300 && !Exists(Index() + ".ready"); ++i) Sleep(100);
  ASSERT_TRUE(Exists(Index() + ".ready"));
  EXPECT_FALSE(AcquireStoreLock(Index(), kSearchLockTimeoutMs).held());
  child.Kill();
  StoreLock lock = AcquireStoreLock(Index(), kInstallLockTimeoutMs);
  EXPECT_TRUE(lock.held());
  lock.Release();
  EXPECT_FALSE(Exists(Lock()));
}

std::string EntryBytes(const IndexEntry& entry) {
  std::string bytes;
  WriteIndexEntry(
      entry,
      [](void* context, const char* data, std::size_t count) {
        static_cast<std::string*>(context)->append(data, count);
        return true;
      },
      &bytes);
  return bytes;
}

TEST_F(WineStoreTest, IndexIsWrittenWithBareLineFeedsAndReadWithEither) {
  std::FILE* out = std::fopen(Index().c_str(), "wb");
  ASSERT_NE(out, nullptr);
  IndexEntry viewer{"VIEWER", 3, {{"Viewer.dll", "viewer3C000000.dll"}}};
  ASSERT_TRUE(WriteIndexEntry(viewer, &StdioIndexSink, out));
  ASSERT_EQ(std::fclose(out), 0);
  EXPECT_EQ(ReadBytes(Index()),
            "component= VIEWER\n\tversion= 3\n"
            "\tinstalled_local= Viewer.dll;viewer3C000000.dll\ncomponentend\n");

  WriteBytes(Index(),
             "component= viewer\r\n\tversion= 3\r\n"
             "\tinstalled_local= Viewer.dll;viewer3C000000.dll\r\n"
             "componentend\r\n");
  IndexReader reader;
  ASSERT_TRUE(reader.Open(Index()));
  IndexEntry read;
  ASSERT_TRUE(reader.ReadEntry(&read.id, &read.version, &read.files));
  EXPECT_EQ(read.id, "VIEWER");
  EXPECT_EQ(read.version, 3);
  EXPECT_EQ(read.files, viewer.files);
  EXPECT_FALSE(reader.ReadEntry(&read.id, &read.version, &read.files));
}

TEST_F(WineStoreTest, SearchReadsAStoreThatAnotherProcessHolds) {
  WriteBytes(Index(), EntryBytes(IndexEntry{"A", 3, {}}));
  Child child("hold", Index());
  ASSERT_TRUE(child.started());
  for (int i = 0; i < 300 && !Exists(Index() + ".ready"); ++i) Sleep(100);
  ASSERT_TRUE(Exists(Index() + ".ready"));
  InstalledComponents table;
  ReadStoreIndex(table, dir_);
  EXPECT_EQ(InstalledVersion(table, "a"), 3);
}

TEST_F(WineStoreTest, SearchListFileIsReadFromDriveC) {
  EXPECT_EQ(SearchListFile(), "c:\\ComponentSearch.txt");
  WriteBytes(Index(), EntryBytes(IndexEntry{"LISTED", 4, {}}));
  // No trailing backslash: the directory exists, so its index is read.
  WriteBytes("c:\\ComponentSearch.txt",
             dir_.substr(0, dir_.size() - 1) + "\r\n\r\n");
  RegisterMissingStore(kSystemStoreName);
  const InstalledComponents table =
      SearchInstalledComponents(SearchDirectories(true, SearchListFile()));
  DeleteFileA("c:\\ComponentSearch.txt");
  EXPECT_EQ(table, (InstalledComponents{{"LISTED", 4}}));
}

// The store locations against Wine's own registry.
class WineRegistryTest : public WineStoreTest {
 protected:
  static void SetString(HKEY root, const char* key, const char* name,
                        const std::string& value, DWORD type = REG_SZ) {
    HKEY k;
    ASSERT_EQ(RegCreateKeyExA(root, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &k, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(k, name, 0, type,
                             reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(k);
  }
  static void DeleteValue(HKEY root, const char* key, const char* name) {
    HKEY k;
    if (RegOpenKeyExA(root, key, 0, KEY_ALL_ACCESS, &k) == ERROR_SUCCESS) {
      RegDeleteValueA(k, name);
      RegCloseKey(k);
    }
  }
  static std::string ReadString(HKEY root, const char* key, const char* name) {
    char buffer[MAX_PATH] = {0};
    DWORD size = sizeof buffer - 1;
    HKEY k;
    if (RegOpenKeyExA(root, key, 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) {
      return "";
    }
    RegQueryValueExA(k, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer),
                     &size);
    RegCloseKey(k);
    return buffer;
  }
  // A drive letter that names no drive on this machine.
  static std::string MissingDrive() {
    DWORD drives = GetLogicalDrives();
    for (char letter = 'Q'; letter <= 'Y'; ++letter) {
      if (!(drives & (1u << (letter - 'A')))) return std::string(1, letter);
    }
    return "";
  }
  static std::string Store(const char* name) {
    FilePath p("untouched");
    return LookupStore(name, &p) ? p.text() : "(absent)";
  }

  static constexpr const char* kProduct =
      "SOFTWARE\\Vantorium\\Vantorium Player\\";
  static constexpr const char* kWindows =
      "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
  static constexpr const char* kUserShell =
      "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell "
      "Folders";
  static constexpr const char* kShell =
      "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
};

TEST_F(WineRegistryTest, SystemStoreFollowsSystemDataPathOrProgramFiles) {
  const std::string program_files =
      ReadString(HKEY_LOCAL_MACHINE, kWindows, "ProgramFilesDir");
  ASSERT_FALSE(program_files.empty());
  const std::string fallback =
      program_files + "\\Vantorium\\Vantorium Player\\components\\";

  // Value missing.
  DeleteValue(HKEY_LOCAL_MACHINE, kProduct, "SystemDataPath");
  DetermineStoreLocations();
  EXPECT_EQ(Store(kSystemStoreName), fallback);
  EXPECT_TRUE(Exists(program_files + "\\Vantorium\\Vantorium Player"));
  EXPECT_FALSE(Exists(fallback));

  // Value on a drive that does not exist.
  const std::string drive = MissingDrive();
  ASSERT_FALSE(drive.empty());
  SetString(HKEY_LOCAL_MACHINE, kProduct, "SystemDataPath",
            drive + ":\\Vantorium");
  ResetStoreLocations();
  DetermineStoreLocations();
  EXPECT_EQ(Store(kSystemStoreName), fallback);

  // Value on an existing directory: used as it stands.
  CreateDirectoryA((dir_ + "Data").c_str(), nullptr);
  SetString(HKEY_LOCAL_MACHINE, kProduct, "SystemDataPath", dir_ + "Data");
  ResetStoreLocations();
  DetermineStoreLocations();
  EXPECT_EQ(Store(kSystemStoreName), dir_ + "Data\\components\\");
  EXPECT_FALSE(Exists(dir_ + "Data\\components"));
  DeleteValue(HKEY_LOCAL_MACHINE, kProduct, "SystemDataPath");
}

TEST_F(WineRegistryTest, UserStoreTriesUserShellFoldersThenShellFolders) {
  const std::string drive = MissingDrive();
  ASSERT_FALSE(drive.empty());
  SetEnvironmentVariableA("BF_TEST_ROOT", dir_.c_str());

  SetString(HKEY_CURRENT_USER, kUserShell, "AppData",
            "%BF_TEST_ROOT%expanded\\", REG_EXPAND_SZ);
  DetermineStoreLocations();
  EXPECT_EQ(Store(kUserStoreName),
            dir_ + "expanded\\Vantorium\\Vantorium Player\\components\\");
  EXPECT_TRUE(Exists(dir_ + "expanded\\Vantorium\\Vantorium Player"));

  SetString(HKEY_CURRENT_USER, kUserShell, "AppData",
            drive + ":\\Application Data", REG_EXPAND_SZ);
  SetString(HKEY_CURRENT_USER, kShell, "AppData", dir_ + "shell\\");
  ResetStoreLocations();
  DetermineStoreLocations();
  EXPECT_EQ(Store(kUserStoreName),
            dir_ + "shell\\Vantorium\\Vantorium Player\\components\\");

  DeleteValue(HKEY_CURRENT_USER, kUserShell, "AppData");
  DeleteValue(HKEY_CURRENT_USER, kShell, "AppData");
  ResetStoreLocations();
  DetermineStoreLocations();
  EXPECT_EQ(Store(kUserStoreName), "(absent)");
  EXPECT_NE(Store(kSystemStoreName), "(absent)");
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
