#include "tools/bfold/doctor_checks.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "store/text.h"

namespace brackenfold {
namespace {

bool ReadAllFd(int fd, std::string* bytes) {
  char buffer[8192];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    bytes->append(buffer, static_cast<std::size_t>(got));
  }
}

bool AppendLine(void* context, const char* bytes, std::size_t count) {
  static_cast<std::string*>(context)->append(bytes, count);
  return true;
}

// The number of the line of original in which rewritten first differs.
std::size_t FirstDifferentLine(const std::string& rewritten,
                               const std::string& original) {
  std::size_t at = 0;
  while (at < rewritten.size() && at < original.size() &&
         rewritten[at] == original[at]) {
    ++at;
  }
  std::size_t line = 1;
  for (std::size_t i = 0; i < at && i < original.size(); ++i) {
    if (original[i] == '\n') ++line;
  }
  return line;
}

}  // namespace

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

int OpenDirectoryAt(int parent, const std::string& name) {
  return ::openat(parent, name.c_str(),
                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool StoredNameParts(const std::string& name, std::vector<std::string>* parts) {
  if (name.empty() || name[0] == '/' ||
      name.find_first_of(std::string("\\\0", 2)) != std::string::npos) {
    return false;
  }
  std::size_t start = 0;
  for (;;) {
    std::size_t end = name.find('/', start);
    std::string part = name.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    parts->push_back(part);
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

std::string StoreLockName() { return std::string(kIndexFileName) + ".lock"; }

StoreChecks::StoreChecks(std::string store, int directory)
    : store_(std::move(store)), directory_(directory) {
  if (!store_.empty() && store_.back() != '/') store_ += '/';
}

bool StoreChecks::Examine(bool lock_held) {
  problems_ = 0;
  entries_.clear();
  Walk(directory_, "");
  bool index_readable = CheckIndex();
  CheckLock(lock_held);
  CollectUnnamed();
  return index_readable;
}

void StoreChecks::Problem(const std::string& path, const std::string& what) {
  ++problems_;
  std::printf("%s%s: %s\n", store_.c_str(), path.c_str(), what.c_str());
}

StoreChecks::Kind StoreChecks::KindOf(unsigned mode) {
  if (S_ISLNK(mode)) return Kind::kLink;
  if (S_ISDIR(mode)) return Kind::kDirectory;
  if (S_ISREG(mode)) return Kind::kFile;
  return Kind::kOther;
}

// Everything below the directory, by path relative to the store ("/"
// between parts); directories are entered, links are not.
void StoreChecks::Walk(int directory, const std::string& prefix) {
  int listed = ::dup(directory);
  if (listed < 0) return;
  DIR* dir = ::fdopendir(listed);
  if (dir == nullptr) {
    ::close(listed);
    return;
  }
  ::rewinddir(dir);
  while (struct dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat status;
    if (::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;
    }
    Kind kind = KindOf(status.st_mode);
    entries_[prefix + name] = kind;
    if (kind == Kind::kDirectory) {
      Fd sub(OpenDirectoryAt(directory, name));
      if (sub.get() >= 0) Walk(sub.get(), prefix + name + "/");
    }
  }
  ::closedir(dir);
}

// Reads the index through the store's descriptor; false when it is not a
// regular file that can be read.
bool StoreChecks::CheckIndex() {
  index_bytes_.clear();
  parsed_.clear();
  auto found = entries_.find(kIndexFileName);
  if (found == entries_.end()) {
    Problem(kIndexFileName,
            "missing: not a component store, or its index is lost");
    return false;
  }
  if (found->second != Kind::kFile) {
    Problem(kIndexFileName, found->second == Kind::kLink
                                ? "is a link; the installer refuses it"
                                : "is not a regular file");
    return false;
  }
  Fd index(::openat(directory_, kIndexFileName,
                    O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (index.get() < 0 || !ReadAllFd(index.get(), &index_bytes_)) {
    Problem(kIndexFileName,
            "cannot be read: " + std::string(std::strerror(errno)));
    return false;
  }
  if (!ParseIndex(index.get())) return false;
  for (const IndexEntry& parsed : parsed_) {
    for (const auto& [registered, stored] : parsed.files) {
      CheckNamedFile(parsed.id, registered, stored);
    }
  }
  return true;
}

// Reads the entries from the descriptor of the index already opened, not
// from its name, and tells where writing them back would change the file.
bool StoreChecks::ParseIndex(int index) {
  IndexReader reader;
  if (!reader.Open(FilePath("/dev/fd/" + std::to_string(index)))) {
    Problem(kIndexFileName, "cannot be read");
    return false;
  }
  IndexEntry entry;
  std::string rewritten;
  while (reader.ReadEntry(&entry.id, &entry.version, &entry.files)) {
    if (!WriteIndexEntry(entry, &AppendLine, &rewritten)) {
      Problem(kIndexFileName, "the entry of " + entry.id +
                                  " cannot be written back as it is read");
    }
    parsed_.push_back(entry);
  }
  if (rewritten != index_bytes_) {
    Problem(kIndexFileName,
            "would not be rewritten byte for byte (first difference in line " +
                std::to_string(FirstDifferentLine(rewritten, index_bytes_)) +
                "); the next installation keeps only what 'bfold index' "
                "shows");
  }
  return true;
}

void StoreChecks::CheckNamedFile(const std::string& id,
                                 const std::string& registered,
                                 const std::string& stored) {
  std::string who = " (" + registered + " of " + id + ")";
  std::vector<std::string> parts;
  if (!StoredNameParts(stored, &parts)) {
    Problem(stored, "named by the index" + who + ", but leaves the store");
    return;
  }
  std::string path;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    path += (i ? "/" : "") + parts[i];
    auto found = entries_.find(path);
    bool last = i + 1 == parts.size();
    if (found == entries_.end()) {
      Problem(stored, "named by the index" + who + ", but missing");
      return;
    }
    if (found->second == Kind::kLink) {
      Problem(stored, "named by the index" + who + ", but " +
                          (last ? "is a link" : "lies below a link " + path));
      return;
    }
    if (!last && found->second != Kind::kDirectory) {
      Problem(stored, "named by the index" + who + ", but " + path +
                          " is not a directory");
      return;
    }
    if (last && found->second != Kind::kFile) {
      Problem(stored,
              "named by the index" + who + ", but is not a regular file");
      return;
    }
  }
}

// Every stored name an installed_local line gives, in entries the reader
// delivers and in those it drops, and the directories above them: none of
// them is ever removed.
std::set<std::string> StoreChecks::NamedFiles() const {
  std::set<std::string> named;
  std::size_t start = 0;
  while (start < index_bytes_.size()) {
    std::size_t end = index_bytes_.find_first_of("\r\n", start);
    if (end == std::string::npos) end = index_bytes_.size();
    std::string line = index_bytes_.substr(start, end - start);
    start = end + 1;
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string keyword = Trimmed(line.substr(0, equals));
    for (char& c : keyword) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (keyword != "installed_local") continue;
    std::string value = Trimmed(line.substr(equals + 1));
    std::size_t semicolon = value.find(';');
    std::string stored = semicolon == std::string::npos
                             ? value
                             : Trimmed(value.substr(semicolon + 1));
    // The directories on the way are kept too, even when they are links.
    for (std::size_t slash = stored.find('/'); slash != std::string::npos;
         slash = stored.find('/', slash + 1)) {
      named.insert(stored.substr(0, slash));
    }
    named.insert(stored);
  }
  return named;
}

// A lock file nobody holds is a leftover; one that is held means an
// installation may be running.
void StoreChecks::CheckLock(bool lock_held) {
  const std::string lock_name = StoreLockName();
  auto found = entries_.find(lock_name);
  if (found == entries_.end() || lock_held) return;
  if (found->second != Kind::kFile) {
    Problem(lock_name,
            "is a link or no regular file; the installer "
            "refuses it (--fix removes it)");
    return;
  }
  Fd lock(::openat(directory_, lock_name.c_str(),
                   O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (lock.get() < 0) return;
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) == 0) {
    Problem(lock_name, "leftover: no process holds it");
  } else {
    std::printf(
        "%s%s: held by another process: an installation may be running, "
        "and what follows may change under it\n",
        store_.c_str(), lock_name.c_str());
  }
}

// Every file, link or other entry that is not the index, the lock or named by
// the index: a leftover of an index rewrite, or an orphan.
void StoreChecks::CollectUnnamed() {
  unnamed_.clear();
  const std::set<std::string> named = NamedFiles();
  for (const auto& [path, kind] : entries_) {
    if (kind == Kind::kDirectory || path == kIndexFileName ||
        path == StoreLockName() || named.count(path)) {
      continue;
    }
    bool leftover = path.compare(0, std::strlen(kIndexFileName) + 1,
                                 std::string(kIndexFileName) + ".") == 0;
    unnamed_.push_back(
        {path, std::string(leftover ? "leftover of an interrupted index rewrite"
                                    : "orphan: no index entry names it") +
                   (kind == Kind::kLink ? "; a link" : "")});
  }
}

}  // namespace brackenfold
