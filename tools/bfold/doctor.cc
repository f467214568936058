// bfold doctor: checks a component store the way dpkg --audit checks a
// package database, and with --fix removes what a killed or failed
// installation left behind. It reads the store only through descriptors of
// the store directory and never follows a link inside it: a link is reported
// (and, when no index entry names it, removed as a link), never entered.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "store/index_file.h"
#include "store/store_lock.h"
#include "store/text.h"
#include "tools/bfold/commands.h"

namespace brackenfold {
namespace {

enum class Kind { kFile, kDirectory, kLink, kOther };

// A descriptor closed when it goes.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

int OpenDirectoryAt(int parent, const std::string& name) {
  return ::openat(parent, name.c_str(),
                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

Kind KindOf(mode_t mode) {
  if (S_ISLNK(mode)) return Kind::kLink;
  if (S_ISDIR(mode)) return Kind::kDirectory;
  if (S_ISREG(mode)) return Kind::kFile;
  return Kind::kOther;
}

// Everything below the directory, by path relative to the store ("/"
// between parts); directories are entered, links are not.
void Walk(int directory, const std::string& prefix,
          std::map<std::string, Kind>* entries) {
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
    (*entries)[prefix + name] = kind;
    if (kind == Kind::kDirectory) {
      Fd sub(OpenDirectoryAt(directory, name));
      if (sub.get() >= 0) Walk(sub.get(), prefix + name + "/", entries);
    }
  }
  ::closedir(dir);
}

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

// Splits a stored name into its parts; false when it would leave the store
// (absolute, a ".." or empty part, a backslash).
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

class Doctor {
 public:
  Doctor(std::string store, int directory)
      : store_(std::move(store)), directory_(directory) {
    if (!store_.empty() && store_.back() != '/') store_ += '/';
  }

  // Examines the store; with fix, removes orphans and leftovers (the caller
  // holds the store lock). Answers the number of problems that remain.
  int Examine(bool fix, bool lock_held) {
    problems_ = 0;
    entries_.clear();
    Walk(directory_, "", &entries_);
    bool index_readable = CheckIndex();
    CheckLock(lock_held);
    std::set<std::string> named = NamedFiles();
    for (const auto& [path, kind] : entries_) {
      if (kind == Kind::kDirectory || path == kIndexFileName ||
          path == LockName() || named.count(path)) {
        continue;
      }
      bool leftover = path.compare(0, std::strlen(kIndexFileName) + 1,
                                   std::string(kIndexFileName) + ".") == 0;
      std::string what =
          std::string(leftover ? "leftover of an interrupted index rewrite"
                               : "orphan: no index entry names it") +
          (kind == Kind::kLink ? "; a link" : "");
      if (fix && index_readable) {
        if (Remove(path)) {
          std::printf("%s%s: removed (%s)\n", store_.c_str(), path.c_str(),
                      what.c_str());
          continue;
        }
        what += "; cannot remove it: " + std::string(std::strerror(errno));
      }
      Problem(path, what);
    }
    if (fix && !index_readable) {
      std::printf(
          "%s: nothing removed: without a readable index every file would "
          "count as an orphan\n",
          store_.c_str());
    }
    return problems_;
  }

 private:
  void Problem(const std::string& path, const std::string& what) {
    ++problems_;
    std::printf("%s%s: %s\n", store_.c_str(), path.c_str(), what.c_str());
  }

  std::string LockName() const { return std::string(kIndexFileName) + ".lock"; }

  // Reads the index through the store's descriptor; false when it is not a
  // regular file that can be read.
  bool CheckIndex() {
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
    // The index reader reads the descriptor already opened, not the name.
    IndexReader reader;
    if (!reader.Open(FilePath("/dev/fd/" + std::to_string(index.get())))) {
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
      std::size_t at = 0;
      while (at < rewritten.size() && at < index_bytes_.size() &&
             rewritten[at] == index_bytes_[at]) {
        ++at;
      }
      std::size_t line = 1;
      for (std::size_t i = 0; i < at && i < index_bytes_.size(); ++i) {
        if (index_bytes_[i] == '\n') ++line;
      }
      Problem(
          kIndexFileName,
          "would not be rewritten byte for byte (first difference in line " +
              std::to_string(line) +
              "); the next installation keeps only what 'bfold index' "
              "shows");
    }
    for (const IndexEntry& parsed : parsed_) {
      for (const auto& [registered, stored] : parsed.files) {
        CheckNamedFile(parsed.id, registered, stored);
      }
    }
    return true;
  }

  void CheckNamedFile(const std::string& id, const std::string& registered,
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
  std::set<std::string> NamedFiles() {
    named_.clear();
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
        named_.insert(stored.substr(0, slash));
      }
      named_.insert(stored);
    }
    return named_;
  }

  // A lock file nobody holds is a leftover; one that is held means an
  // installation may be running.
  void CheckLock(bool lock_held) {
    auto found = entries_.find(LockName());
    if (found == entries_.end() || lock_held) return;
    if (found->second != Kind::kFile) {
      Problem(LockName(),
              "is a link or no regular file; the installer "
              "refuses it (--fix removes it)");
      return;
    }
    Fd lock(::openat(directory_, LockName().c_str(),
                     O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (lock.get() < 0) return;
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) == 0) {
      Problem(LockName(), "leftover: no process holds it");
    } else {
      std::printf(
          "%s%s: held by another process: an installation may be running, "
          "and what follows may change under it\n",
          store_.c_str(), LockName().c_str());
    }
  }

  // Unlinks one entry below the store, walking its directory parts without
  // following links.
  bool Remove(const std::string& path) {
    std::vector<std::string> parts;
    if (!StoredNameParts(path, &parts)) {
      errno = EINVAL;
      return false;
    }
    std::vector<std::unique_ptr<Fd>> chain;
    int parent = directory_;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
      chain.push_back(std::make_unique<Fd>(OpenDirectoryAt(parent, parts[i])));
      parent = chain.back()->get();
      if (parent < 0) return false;
    }
    return ::unlinkat(parent, parts.back().c_str(), 0) == 0;
  }

  std::string store_;
  int directory_;
  int problems_ = 0;
  std::map<std::string, Kind> entries_;
  std::string index_bytes_;
  std::vector<IndexEntry> parsed_;
  std::set<std::string> named_;
};

struct DoctorOptions {
  std::string store;
  bool fix = false;
};

[[noreturn]] void Fail(const std::string& store, const std::string& message) {
  std::fprintf(stderr, "bfold doctor: %s: %s\n", store.c_str(),
               message.c_str());
  throw CLI::RuntimeError(kExitFailed);
}

void RunDoctor(const DoctorOptions& options) {
  Fd directory(::open(options.store.c_str(),
                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (directory.get() < 0) {
    Fail(options.store,
         errno == ELOOP || errno == ENOTDIR
             ? "not a directory (a link to a store is not followed)"
             : std::strerror(errno));
  }
  Doctor doctor(options.store, directory.get());
  std::string shown = options.store;  // how paths in the store are shown
  if (shown.back() != '/') shown += '/';
  int problems = 0;
  if (!options.fix) {
    problems = doctor.Examine(false, false);
  } else {
    // A link or other non-file at the lock's name would be followed by the
    // lock; it is nobody's lock, so it goes first.
    struct stat status;
    std::string lock_name = std::string(kIndexFileName) + ".lock";
    if (::fstatat(directory.get(), lock_name.c_str(), &status,
                  AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode) &&
        ::unlinkat(directory.get(), lock_name.c_str(), 0) == 0) {
      std::printf("%s%s: removed (not a lock file)\n", shown.c_str(),
                  lock_name.c_str());
    }
    FilePath index_path(options.store);
    if (!index_path.EndsWithSeparator()) {
      index_path = options.store + kPathSeparator;
    }
    index_path.AppendFile(kIndexFileName);
    bool stale_lock = ::fstatat(directory.get(), lock_name.c_str(), &status,
                                AT_SYMLINK_NOFOLLOW) == 0;
    StoreLock lock = AcquireStoreLock(index_path, kInstallLockTimeoutMs);
    if (!lock.held()) {
      Fail(options.store,
           "the store is locked by another process; nothing removed");
    }
    // A lock file that was there although nobody held it goes with the lock.
    if (stale_lock) {
      std::printf("%s%s: removed (leftover: no process held it)\n",
                  shown.c_str(), lock_name.c_str());
    }
    problems = doctor.Examine(true, true);
  }
  if (problems == 0) {
    std::printf("%s: clean\n", options.store.c_str());
    return;
  }
  std::printf(
      "%s: %d problem%s%s\n", options.store.c_str(), problems,
      problems == 1 ? "" : "s",
      options.fix ? " remain" : " (--fix removes orphans and leftovers)");
  throw CLI::RuntimeError(kExitFailed);
}

}  // namespace

void AddDoctorCommand(CLI::App& app) {
  auto options = std::make_shared<DoctorOptions>();
  CLI::App* doctor = app.add_subcommand(
      "doctor",
      "Check a component store: the index reads and would be rewritten byte "
      "for byte, every file it names is a regular file inside the store, and "
      "no orphan (a file no entry names), leftover temporary index or lock "
      "file is there. Links in the store are never followed. Exits 0 when the "
      "store is clean, 1 when problems remain");
  doctor->add_option("STORE", options->store, "Component store directory")
      ->required();
  doctor->add_flag("--fix", options->fix,
                   "Under the store lock, remove orphans and leftovers; files "
                   "the index names are never touched");
  doctor->footer(
      "Examples:\n"
      "  bfold doctor /opt/vantorium/components\n\n"
      "  bfold doctor --fix /opt/vantorium/components");
  doctor->callback([options] { RunDoctor(*options); });
}

}  // namespace brackenfold
