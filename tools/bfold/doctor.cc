// bfold doctor: checks a component store the way dpkg --audit checks a
// package database (doctor_checks.h), and with --fix removes what a killed or
// failed installation left behind. It reads the store only through
// descriptors of the store directory and never follows a link inside it: a
// link is reported (and, when no index entry names it, removed as a link),
// never entered.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "store/index_file.h"
#include "store/store_lock.h"
#include "tools/bfold/commands.h"
#include "tools/bfold/doctor_checks.h"

namespace brackenfold {
namespace {

struct DoctorOptions {
  std::string store;
  bool fix = false;
};

[[noreturn]] void Fail(const std::string& store, const std::string& message) {
  std::fprintf(stderr, "bfold doctor: %s: %s\n", store.c_str(),
               message.c_str());
  throw CLI::RuntimeError(kExitFailed);
}

// Unlinks one entry below the store, walking its directory parts without
// following links.
bool RemoveBelow(int directory, const std::string& path) {
  std::vector<std::string> parts;
  if (!StoredNameParts(path, &parts)) {
    errno = EINVAL;
    return false;
  }
  std::vector<std::unique_ptr<Fd>> chain;
  int parent = directory;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    chain.push_back(std::make_unique<Fd>(OpenDirectoryAt(parent, parts[i])));
    parent = chain.back()->get();
    if (parent < 0) return false;
  }
  return ::unlinkat(parent, parts.back().c_str(), 0) == 0;
}

// Takes the store lock for the repair, first removing what stands at the
// lock's name without being a lock file. Fails when another process holds
// the lock.
StoreLock LockForRepair(const DoctorOptions& options, int directory,
                        const std::string& shown) {
  // A link or other non-file at the lock's name would be followed by the
  // lock; it is nobody's lock, so it goes first.
  struct stat status;
  const std::string lock_name = StoreLockName();
  bool not_a_lock = ::fstatat(directory, lock_name.c_str(), &status,
                              AT_SYMLINK_NOFOLLOW) == 0 &&
                    !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode);
  if (not_a_lock && ::unlinkat(directory, lock_name.c_str(), 0) == 0) {
    std::printf("%s%s: removed (not a lock file)\n", shown.c_str(),
                lock_name.c_str());
  }
  FilePath index_path(options.store);
  if (!index_path.EndsWithSeparator()) {
    index_path = options.store + kPathSeparator;
  }
  index_path.AppendFile(kIndexFileName);
  bool stale_lock = ::fstatat(directory, lock_name.c_str(), &status,
                              AT_SYMLINK_NOFOLLOW) == 0;
  StoreLock lock = AcquireStoreLock(index_path, kInstallLockTimeoutMs);
  if (!lock.held()) {
    Fail(options.store,
         "the store is locked by another process; nothing removed");
  }
  // A lock file that was there although nobody held it goes with the lock.
  if (stale_lock) {
    std::printf("%s%s: removed (leftover: no process held it)\n", shown.c_str(),
                lock_name.c_str());
  }
  return lock;
}

// Checks the store; with fix (the caller holds the store lock), removes what
// no index entry names. Answers the number of problems that remain.
int Examine(StoreChecks& checks, int directory, bool fix) {
  bool index_readable = checks.Examine(fix);
  for (const UnnamedEntry& entry : checks.unnamed()) {
    std::string what = entry.what;
    if (fix && index_readable) {
      if (RemoveBelow(directory, entry.path)) {
        std::printf("%s%s: removed (%s)\n", checks.shown().c_str(),
                    entry.path.c_str(), what.c_str());
        continue;
      }
      what += "; cannot remove it: " + std::string(std::strerror(errno));
    }
    checks.Problem(entry.path, what);
  }
  if (fix && !index_readable) {
    std::printf(
        "%s: nothing removed: without a readable index every file would "
        "count as an orphan\n",
        checks.shown().c_str());
  }
  return checks.problems();
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
  StoreChecks checks(options.store, directory.get());
  // The repair holds the store lock from before the store is read.
  StoreLock lock = options.fix
                       ? LockForRepair(options, directory.get(), checks.shown())
                       : StoreLock();
  int problems = Examine(checks, directory.get(), options.fix);
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
