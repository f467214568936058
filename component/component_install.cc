#include "component/component_install.h"

#include <cstdio>
#include <memory>
#include <utility>

#include "component/component_blob.h"
#include "component/prerequisite_check.h"
#include "platform/env.h"
#include "store/store_lock.h"

namespace brackenfold {
namespace {

struct FileCloser {
  void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

struct LibraryCloser {
  void operator()(void* library) const { CurrentEnv().CloseLibrary(library); }
};

bool ReadIndexEntries(const FilePath& index_path,
                      std::vector<IndexEntry>* entries) {
  bool is_directory = false;
  if (!index_path.Exists(&is_directory)) return true;
  if (is_directory) return false;
  IndexReader reader;
  if (!reader.Open(index_path)) return false;
  IndexEntry entry;
  while (reader.ReadEntry(&entry.id, &entry.version, &entry.files)) {
    entries->push_back(entry);
  }
  reader.Close();
  return true;
}

bool InstallBlob(const FilePath& blob_file, const FilePath& directory,
                 std::vector<IndexEntry>* entries,
                 std::vector<InitialisationJob>* jobs) {
  BlobFile stream(blob_file);
  if (!stream) return false;
  ComponentBlob blob(StdioBlobStream(stream.get()));
  if (!blob.Init(false)) return false;
  IndexEntry entry;
  entry.id = blob.GetId();
  entry.version = blob.GetVersion();
  std::string init_library;
  if (!blob.Install(directory, entry.files, init_library)) return false;
  if (!init_library.empty()) {
    jobs->push_back(InitialisationJob{FilePath(init_library), entry.files});
  }
  entries->push_back(std::move(entry));
  return true;
}

}  // namespace

bool ReplaceIndexFile(const FilePath& index_path,
                      const std::vector<IndexEntry>& entries) {
  const FilePath temporary(index_path.text() + ".tmp");
  UniqueFile stream(temporary.OpenStream("wb"));
  if (!stream) return false;
  bool written = true;
  for (const IndexEntry& entry : entries) {
    if (!WriteIndexEntry(entry, StdioIndexSink, stream.get())) {
      written = false;
      break;
    }
  }
  if (written && !CurrentEnv().FlushStreamToDisk(stream.get())) {
    written = false;
  }
  if (std::fclose(stream.release()) != 0) written = false;
  if (written &&
      CurrentEnv().MoveFileReplacing(temporary.text(), index_path.text())) {
    return true;
  }
  temporary.RemoveFile();
  return false;
}

void RunInitialisationJob(const InitialisationJob& job) {
  Env& env = CurrentEnv();
  const std::string path = job.library.PathText();
  std::unique_ptr<void, LibraryCloser> library(env.OpenLibrary(path));
  if (!library) return;
  void* entry = env.FindLibraryEntry(library.get(), kComponentInitializeEntry);
  if (entry == nullptr) return;
  std::vector<const char*> registered;
  std::vector<const char*> stored;
  registered.reserve(job.files.size());
  stored.reserve(job.files.size());
  for (const auto& [registered_name, stored_name] : job.files) {
    registered.push_back(registered_name.c_str());
    stored.push_back(stored_name.c_str());
  }
  env.CallComponentInitialize(entry, path.c_str(),
                              static_cast<int>(job.files.size()),
                              registered.data(), stored.data());
}

bool InstallComponents(bool machine_store_only, FilePath components_directory,
                       std::vector<FilePath> blob_files) {
  if (!CheckPrerequisites(nullptr, machine_store_only, blob_files)) {
    return false;
  }
  return InstallCheckedComponents(std::move(components_directory),
                                  std::move(blob_files));
}

bool InstallCheckedComponents(FilePath components_directory,
                              std::vector<FilePath> blob_files) {
  if (!components_directory.MakeDirectory()) return false;
  FilePath index_path(components_directory);
  index_path.AppendFile(kIndexFileName);
  StoreLockGuard lock(AcquireStoreLock(index_path, kInstallLockTimeoutMs));
  if (!lock.held()) return false;

  std::vector<IndexEntry> entries;
  if (!ReadIndexEntries(index_path, &entries)) return false;
  std::vector<InitialisationJob> jobs;
  for (const FilePath& blob_file : blob_files) {
    if (!InstallBlob(blob_file, components_directory, &entries, &jobs)) {
      return false;
    }
  }
  if (!ReplaceIndexFile(index_path, entries)) return false;
  for (const InitialisationJob& job : jobs) RunInitialisationJob(job);
  return true;
}

}  // namespace brackenfold
