// The checks of bfold doctor over one component store: the index reads and
// would be rewritten byte for byte, every file it names is a regular file
// inside the store, no lock file is left over. The store is read only through
// a descriptor of its directory and no link inside it is ever followed. Each
// problem is printed as "STORE/PATH: what" and counted; the files no index
// entry names are handed back, for the caller to report or to remove.
#ifndef BRACKENFOLD_TOOLS_BFOLD_DOCTOR_CHECKS_H_
#define BRACKENFOLD_TOOLS_BFOLD_DOCTOR_CHECKS_H_

#include <map>
#include <set>
#include <string>
#include <vector>

#include "store/index_file.h"

namespace brackenfold {

// A descriptor closed when it goes.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd();
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The directory name below parent, never through a link; -1 with errno set.
int OpenDirectoryAt(int parent, const std::string& name);

// Splits a stored name into its parts; false when it would leave the store
// (absolute, a ".." or empty part, a backslash).
bool StoredNameParts(const std::string& name, std::vector<std::string>* parts);

// An entry below the store that no index entry names.
struct UnnamedEntry {
  std::string path;  // relative to the store, "/" between parts
  std::string what;  // why it should not be there
};

class StoreChecks {
 public:
  // directory is the store's, kept open by the caller.
  StoreChecks(std::string store, int directory);

  // Checks the store and prints each problem; a held lock file is not one
  // when lock_held says the caller holds it. False when the index cannot be
  // read: then every file would count as unnamed.
  bool Examine(bool lock_held);
  // What the last Examine found that no index entry names, by path.
  const std::vector<UnnamedEntry>& unnamed() const { return unnamed_; }

  // Prints "STORE/path: what" and counts it.
  void Problem(const std::string& path, const std::string& what);
  int problems() const { return problems_; }
  // The store as its paths are shown, ending in "/".
  const std::string& shown() const { return store_; }

 private:
  enum class Kind { kFile, kDirectory, kLink, kOther };

  static Kind KindOf(unsigned mode);
  void Walk(int directory, const std::string& prefix);
  bool CheckIndex();
  bool ParseIndex(int index);
  void CheckNamedFile(const std::string& id, const std::string& registered,
                      const std::string& stored);
  std::set<std::string> NamedFiles() const;
  void CheckLock(bool lock_held);
  void CollectUnnamed();

  std::string store_;
  int directory_;
  int problems_ = 0;
  std::map<std::string, Kind> entries_;
  std::string index_bytes_;
  std::vector<IndexEntry> parsed_;
  std::vector<UnnamedEntry> unnamed_;
};

// The name of the store's lock file.
std::string StoreLockName();

}  // namespace brackenfold

#endif  // BRACKENFOLD_TOOLS_BFOLD_DOCTOR_CHECKS_H_
