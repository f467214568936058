// Fuzzes CreateDirectoryPath (win32/directory_path.h) with an Env that creates
// nothing: it records the directories asked for and answers the status calls
// from that record. The first byte picks one level where the Env misbehaves
// (a plain file there, a failing status call, a failing create), so the fatal
// reports are reached too; they end in FakeExit.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tests/support/fake_env.h"
#include "win32/directory_path.h"

namespace brackenfold {
namespace {

enum class Trouble { kNone, kPlainFile, kStatFails, kCreateFails };

class RecordingEnv : public FakeEnv {
 public:
  Trouble trouble = Trouble::kNone;
  std::size_t trouble_level = 0;
  std::vector<std::string> created;
  std::size_t status_calls = 0;

  PathStatus Stat(const std::string& path) override {
    const bool here = status_calls++ == trouble_level;
    PathStatus status;
    if (here && trouble == Trouble::kPlainFile) return status;
    if (here && trouble == Trouble::kStatFails) {
      status.error = 13;  // EACCES
      return status;
    }
    status.is_directory = made_.count(path) != 0;
    if (!status.is_directory) status.error = kErrnoNoEntry;
    return status;
  }
  bool NewDirectory(const std::string& path) override {
    if (status_calls - 1 == trouble_level && trouble == Trouble::kCreateFails) {
      last_error = 5;
      return false;
    }
    created.push_back(path);
    made_.insert(path);
    return true;
  }
  // The directory path code never touches files.
  std::uint32_t FileAttributes(const std::string&) override {
    fuzz::Broken("asked for file attributes");
  }
  bool RemoveFileAt(const std::string&) override {
    fuzz::Broken("removed a file");
  }
  int CreateNewFile(const std::string&) override {
    fuzz::Broken("created a file");
  }

 private:
  std::set<std::string> made_;
};

// The components of a path: runs of "\" and "/" separate.
std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts(1);
  for (char c : path) {
    if (c != '\\' && c != '/') {
      parts.back() += c;
    } else if (!parts.back().empty()) {
      parts.emplace_back();
    }
  }
  if (parts.back().empty()) parts.pop_back();
  return parts;
}

}  // namespace
}  // namespace brackenfold

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace brackenfold;
  if (size < 1) return 0;
  RecordingEnv env;
  env.trouble = static_cast<Trouble>((data[0] >> 3) & 3);
  env.trouble_level = data[0] & 7;
  const std::string raw(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string path = raw.substr(0, raw.find('\0'));
  Env* previous = SetCurrentEnv(&env);
  bool ended = false;
  try {
    CreateDirectoryPath(path);
  } catch (const FakeExit& exit) {
    BF_FUZZ_CHECK(exit.status == 1);
    ended = true;
  }
  SetCurrentEnv(previous);
  // A fatal end always shows its report, and only trouble ends it.
  BF_FUZZ_CHECK(ended == !env.boxes.empty());
  BF_FUZZ_CHECK(ended || env.trouble == Trouble::kNone ||
                env.status_calls <= env.trouble_level);
  // Directories are made outermost first, one level at a time, each at most
  // MAX_PATH characters, with backslashes only and no empty component.
  for (std::size_t i = 0; i < env.created.size(); ++i) {
    const std::string& made = env.created[i];
    BF_FUZZ_CHECK(made.size() <= static_cast<std::size_t>(kMaxPath));
    BF_FUZZ_CHECK(made.find('/') == std::string::npos);
    BF_FUZZ_CHECK(made.find("\\\\", 1) == std::string::npos);
    BF_FUZZ_CHECK(!made.empty() && made.back() != '\\');
    if (i > 0) {
      const std::string& outer = env.created[i - 1];
      BF_FUZZ_CHECK(made.compare(0, outer.size(), outer) == 0 &&
                    made[outer.size()] == '\\' &&
                    made.find('\\', outer.size() + 1) == std::string::npos);
    }
  }
  if (!ended) {
    // Everything below the drive (or server and share) was asked for.
    const bool network = path.size() >= 2 && path[0] == '\\' && path[1] == '\\';
    const std::vector<std::string> parts = Components(path);
    BF_FUZZ_CHECK(parts.size() >= (network ? 2u : 1u));
    BF_FUZZ_CHECK(env.status_calls == parts.size() - (network ? 2 : 1));
    BF_FUZZ_CHECK(env.created.empty() ||
                  Components(env.created.back()).back() == parts.back());
  }
  return 0;
}
