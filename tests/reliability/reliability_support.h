// Helpers of the reliability tests: blobs signed over a hand-made body, a
// strict reading of a store index (the file must be exactly the entries it
// yields, written again, so a cut or garbled file is caught), the files of a
// store, and bfold runs in child processes.
#ifndef BRACKENFOLD_TESTS_RELIABILITY_RELIABILITY_SUPPORT_H_
#define BRACKENFOLD_TESTS_RELIABILITY_RELIABILITY_SUPPORT_H_

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

#include "store/index_file.h"

namespace brackenfold {

// A blob whose "SHA " and "ELGA" sections (demo key) cover body, which starts
// at "TOC \n" and may be malformed in any way after it.
std::string SignedBodyBlob(const std::string& body);

// Reads the index at path into entries. False, with why set, when the file
// cannot be read or is not exactly what the writer makes of those entries.
bool ReadIndexStrictly(const std::string& path,
                       std::vector<IndexEntry>* entries, std::string* why);

// Every stored file name of the entries (relative to the store directory);
// false when one is referenced twice.
bool CollectStoredNames(const std::vector<IndexEntry>& entries,
                        std::set<std::string>* names);

// Starts bfold with arguments, stdout and stderr into files, TMPDIR set to
// tmpdir; returns the child's process id (the test fails when it cannot).
pid_t StartBfold(const std::vector<std::string>& arguments,
                 const std::string& out_path, const std::string& err_path,
                 const std::string& tmpdir);
// Waits for the child: its exit status, or -signal when a signal ended it.
int WaitForChild(pid_t pid);

}  // namespace brackenfold

#endif  // BRACKENFOLD_TESTS_RELIABILITY_RELIABILITY_SUPPORT_H_
