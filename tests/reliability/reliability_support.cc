#include "tests/reliability/reliability_support.h"

#include <cryptopp/osrng.h>
#include <cryptopp/sha.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "blob/blob_key.h"
#include "tests/component/component_test_support.h"
#include "tests/support/blob_builder.h"

namespace brackenfold {

std::string SignedBodyBlob(const std::string& body) {
  unsigned char digest[CryptoPP::SHA1::DIGESTSIZE];
  CryptoPP::SHA1().CalculateDigest(
      digest, reinterpret_cast<const unsigned char*>(body.data()), body.size());
  const std::string digest_text(reinterpret_cast<const char*>(digest),
                                sizeof(digest));
  CryptoPP::AutoSeededRandomPool rng;
  const std::string signature = SignBlobDigest(DemoBlobKey(), digest_text, rng);
  return AssembleBlob({{"SHA ", digest_text}, {"ELGA", signature}}, body);
}

bool ReadIndexStrictly(const std::string& path,
                       std::vector<IndexEntry>* entries, std::string* why) {
  entries->clear();
  std::string bytes;
  if (!ReadFileBytes(path, &bytes)) {
    *why = "cannot read " + path;
    return false;
  }
  IndexReader reader;
  if (!reader.Open(FilePath(path))) {
    *why = "cannot open " + path;
    return false;
  }
  IndexEntry entry;
  while (reader.ReadEntry(&entry.id, &entry.version, &entry.files)) {
    entries->push_back(entry);
  }
  const std::string again = IndexText(*entries);
  if (again != bytes) {
    *why = "the index is not whole: " + std::to_string(bytes.size()) +
           " bytes, of which the " + std::to_string(entries->size()) +
           " entries read account for " + std::to_string(again.size());
    return false;
  }
  return true;
}

bool CollectStoredNames(const std::vector<IndexEntry>& entries,
                        std::set<std::string>* names) {
  for (const IndexEntry& entry : entries) {
    for (const auto& [registered, stored] : entry.files) {
      if (!names->insert(stored).second) return false;
    }
  }
  return true;
}

pid_t StartBfold(const std::vector<std::string>& arguments,
                 const std::string& out_path, const std::string& err_path,
                 const std::string& tmpdir) {
  std::vector<std::string> words{BFOLD_PATH};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<std::string> variables{"TMPDIR=" + tmpdir};
  for (char** variable = environ; *variable != nullptr; ++variable) {
    if (std::string(*variable).rfind("TMPDIR=", 0) != 0) {
      variables.push_back(*variable);
    }
  }
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    const int out =
        ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err =
        ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) {
      ::_exit(120);
    }
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(121);
  }
  EXPECT_GT(pid, 0) << "fork failed";
  return pid;
}

int WaitForChild(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1000;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return -1000;
}

}  // namespace brackenfold
