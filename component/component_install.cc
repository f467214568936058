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

// The entries of the store's index; an index that is a link or not a plain
// file is refused rather than read.
bool ReadIndexEntries(const FilePath& index_path,
                      std::vector<IndexEntry>* entries, std::string* why) {
  std::string directory, name;
  SplitStorePath(index_path, &directory, &name);
  switch (CurrentEnv().KindIn(directory, name)) {
    case EntryKind::kNone:
      return true;
    case EntryKind::kFile:
      break;
    case EntryKind::kDirectory:
      *why = "the index '" + index_path.text() + "' is a directory";
      return false;
    case EntryKind::kOther:
      *why =
          "the index '" + index_path.text() + "' is a link or not a plain file";
      return false;
  }
  IndexReader reader;
  int error = reader.OpenInStore(index_path);
  if (error != 0) {
    *why = "cannot open the index '" + index_path.text() +
           "': " + FileErrorText(error);
    return false;
  }
  IndexEntry entry;
  while (reader.ReadEntry(&entry.id, &entry.version, &entry.files)) {
    entries->push_back(entry);
  }
  reader.Close();
  return true;
}

bool InstallOpenedBlob(OpenedBlob& opened, UniqueFileMaker& maker,
                       std::vector<IndexEntry>* entries,
                       std::vector<InitialisationJob>* jobs, std::string* why) {
  ComponentBlob& blob = *opened.blob;
  IndexEntry entry;
  entry.id = blob.GetId();
  entry.version = blob.GetVersion();
  if (!IndexIdRoundTrips(entry.id)) {
    *why = "blob '" + opened.path.text() +
           "': the component id is blank or cannot be recorded in the index";
    return false;
  }
  std::string init_library;
  std::string cause;
  if (!blob.Install(maker, entry.files, init_library, &cause)) {
    *why = "blob '" + opened.path.text() + "': " + cause;
    return false;
  }
  if (!init_library.empty()) {
    jobs->push_back(InitialisationJob{FilePath(init_library), entry.files});
  }
  entries->push_back(std::move(entry));
  return true;
}

}  // namespace

bool ReplaceIndexFile(const FilePath& index_path,
                      const std::vector<IndexEntry>& entries,
                      std::string* why) {
  Env& env = CurrentEnv();
  std::string directory, name;
  SplitStorePath(index_path, &directory, &name);
  const std::string temporary = name + ".tmp";
  std::FILE* created = nullptr;
  int error = env.CreateFileIn(directory, temporary, &created);
  if (error == kErrnoExists) {
    // Left by an install that died, or put there by someone else: removed
    // (a link itself, not its target) and made anew.
    env.RemoveFileIn(directory, temporary);
    error = env.CreateFileIn(directory, temporary, &created);
  }
  if (error != 0) {
    if (why) {
      *why = "cannot create the index's temporary file '" + directory +
             temporary + "': " + FileErrorText(error);
    }
    return false;
  }
  UniqueFile stream(created);
  bool written = true;
  for (const IndexEntry& entry : entries) {
    if (!WriteIndexEntry(entry, StdioIndexSink, stream.get())) {
      written = false;
      break;
    }
  }
  if (written && !env.FlushStreamToDisk(stream.get())) written = false;
  if (std::fclose(stream.release()) != 0) written = false;
  if (!written) {
    if (why)
      *why = "cannot write the index's temporary file '" + directory +
             temporary + "'";
  } else if (env.MoveFileIn(directory, temporary, name)) {
    return true;
  } else if (why) {
    *why = "cannot move '" + directory + temporary + "' over the index";
  }
  env.RemoveFileIn(directory, temporary);
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
  // component_install_initialize(const char* library_path, int count,
  //                              const char** registered, const char** stored)
  env.CallStdcall4(entry, reinterpret_cast<std::uintptr_t>(path.c_str()),
                   static_cast<std::uintptr_t>(job.files.size()),
                   reinterpret_cast<std::uintptr_t>(registered.data()),
                   reinterpret_cast<std::uintptr_t>(stored.data()));
}

bool InstallComponents(bool machine_store_only, FilePath components_directory,
                       std::vector<FilePath> blob_files) {
  std::vector<OpenedBlob> blobs;
  std::string why;
  bool ok = OpenBlobs(blob_files, &blobs, &why);
  if (ok && !CheckOpenedPrerequisites(nullptr, machine_store_only, blobs)) {
    why = "the prerequisites of the blobs are not met; nothing was installed";
    ok = false;
  }
  if (ok) ok = InstallOpenedBlobs(std::move(components_directory), blobs, &why);
  if (!ok) std::fprintf(stderr, "InstallComponents: %s\n", why.c_str());
  return ok;
}

bool InstallOpenedBlobs(FilePath components_directory,
                        std::vector<OpenedBlob>& blobs, std::string* why) {
  std::string cause;
  if (!why) why = &cause;
  if (!components_directory.MakeDirectory()) {
    *why = "cannot make the components directory '" +
           components_directory.text() + "'";
    return false;
  }
  FilePath index_path(components_directory);
  index_path.AppendFile(kIndexFileName);
  StoreLockGuard lock(
      AcquireStoreLock(index_path, kInstallLockTimeoutMs, &cause));
  if (!lock.held()) {
    *why =
        "cannot lock the store '" + components_directory.text() + "': " + cause;
    return false;
  }

  std::vector<IndexEntry> entries;
  if (!ReadIndexEntries(index_path, &entries, why)) return false;
  std::string directory, unused;
  SplitStorePath(index_path, &directory, &unused);
  UniqueFileMaker maker(directory);
  std::vector<InitialisationJob> jobs;
  for (OpenedBlob& opened : blobs) {
    if (!InstallOpenedBlob(opened, maker, &entries, &jobs, why)) return false;
  }
  if (!ReplaceIndexFile(index_path, entries, why)) return false;
  for (const InitialisationJob& job : jobs) RunInitialisationJob(job);
  return true;
}

}  // namespace brackenfold
