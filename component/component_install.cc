#include "component/component_install.h"

#include <cstdio>
#include <memory>
#include <utility>

#include "component/component_blob.h"
#include "component/prerequisite_check.h"
#include "platform/env.h"
#include "platform/unique_file.h"
#include "store/store_lock.h"

namespace brackenfold {
namespace {

struct LibraryCloser {
  void operator()(void* library) const { CurrentEnv().CloseLibrary(library); }
};

// Opens the store's index for its rewrite (reader stays closed, giving no
// entries, when there is none); an index that is a link or not a plain file
// is refused rather than read.
bool OpenIndexToRewrite(const FilePath& index_path, IndexReader* reader,
                        std::string* why) {
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
  int error = reader->OpenInStore(index_path);
  if (error != 0) {
    *why = "cannot open the index '" + index_path.text() +
           "': " + FileErrorText(error);
    return false;
  }
  return true;
}

// Writes every entry that kept (optional) still gives, one at a time as it is
// read, then the entries added; false at the first entry that cannot be
// written.
bool WriteIndexEntries(IndexReader* kept, const std::vector<IndexEntry>& added,
                       std::FILE* stream) {
  if (kept) {
    IndexEntry entry;
    while (kept->ReadEntry(&entry.id, &entry.version, &entry.files)) {
      if (!WriteIndexEntry(entry, StdioIndexSink, stream)) return false;
    }
  }
  for (const IndexEntry& entry : added) {
    if (!WriteIndexEntry(entry, StdioIndexSink, stream)) return false;
  }
  return true;
}

bool InstallBlob(OpenedBlob& opened, UniqueFileMaker& maker,
                 std::vector<IndexEntry>* added,
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
  added->push_back(std::move(entry));
  return true;
}

}  // namespace

bool ReplaceIndexFile(const FilePath& index_path, IndexReader* kept,
                      const std::vector<IndexEntry>& added, std::string* why) {
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
  bool written = WriteIndexEntries(kept, added, stream.get());
  // Closed before the move: an open file cannot be replaced on Windows.
  if (kept) kept->Close();
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

bool InstallComponents(const InstalledComponents& installed,
                       FilePath components_directory,
                       const std::vector<FilePath>& blob_files) {
  std::vector<OpenedBlob> blobs;
  std::string why;
  bool ok = OpenBlobs(blob_files, &blobs, &why) &&
            InstallComponents(installed, std::move(components_directory), blobs,
                              nullptr, &why);
  if (!ok) std::fprintf(stderr, "InstallComponents: %s\n", why.c_str());
  return ok;
}

bool InstallComponents(const InstalledComponents& installed,
                       FilePath components_directory,
                       std::vector<OpenedBlob>& blobs,
                       std::vector<UnmetRequirement>* unmet, std::string* why) {
  std::string cause;
  if (!why) why = &cause;
  if (!CheckPrerequisites(installed, blobs, unmet)) {
    *why = "the prerequisites of the blobs are not met; nothing was installed";
    return false;
  }
  if (!components_directory.MakeDirectory()) {
    *why = "cannot make the components directory '" +
           components_directory.text() + "'";
    return false;
  }
  FilePath index_path(components_directory);
  index_path.AppendFile(kIndexFileName);
  StoreLock lock = AcquireStoreLock(index_path, kInstallLockTimeoutMs, &cause);
  if (!lock.held()) {
    *why =
        "cannot lock the store '" + components_directory.text() + "': " + cause;
    return false;
  }

  // The old index is read entry by entry into the new one after the blobs
  // are installed, never held whole; the lock keeps it as it is meanwhile.
  IndexReader old_index;
  if (!OpenIndexToRewrite(index_path, &old_index, why)) return false;
  std::string directory, unused;
  SplitStorePath(index_path, &directory, &unused);
  UniqueFileMaker maker(directory);
  std::vector<IndexEntry> added;
  std::vector<InitialisationJob> jobs;
  for (OpenedBlob& opened : blobs) {
    if (!InstallBlob(opened, maker, &added, &jobs, why)) return false;
  }
  if (!ReplaceIndexFile(index_path, &old_index, added, why)) return false;
  for (const InitialisationJob& job : jobs) RunInitialisationJob(job);
  return true;
}

}  // namespace brackenfold
