// Fuzzes CreateDirectoryPath (win32/directory_path.h) with an Env that creates
// nothing: it records the directories asked for and answers the status calls
// from that record. The first byte picks one level where the Env misbehaves
// (low three bits; the next two: a plain file there, a failing status call, a
// failing create), so the fatal reports, which end in FakeExit, are reached.
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
  std::size_t level = 0, status_calls = 0;
  std::vector<std::string> created;

  PathStatus Stat(const std::string& path) override {
    const bool here = status_calls++ == level;
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
    if (status_calls - 1 == level && trouble == Trouble::kCreateFails) {
      last_error = 5;
      return false;
    }
    created.push_back(path);
    made_.insert(path);
    return true;
  }

 private:
  std::set<std::string> made_;
};

}  // namespace
}  // namespace brackenfold

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace brackenfold;
  if (size < 1) return 0;
  RecordingEnv env;
  env.trouble = static_cast<Trouble>((data[0] >> 3) & 3);
  env.level = data[0] & 7;
  const std::string raw(reinterpret_cast<const char*>(data + 1), size - 1);
  Env* previous = SetCurrentEnv(&env);
  bool ended = false;
  try {
    CreateDirectoryPath(raw.substr(0, raw.find('\0')));
  } catch (const FakeExit& exit) {
    BF_FUZZ_CHECK(exit.status == 1);
    ended = true;
  }
  SetCurrentEnv(previous);
  // A fatal end always shows its report. Directories are made outermost
  // first, one level at a time, each at most MAX_PATH characters long, with
  // backslashes only and no empty component.
  BF_FUZZ_CHECK(ended == !env.boxes.empty());
  for (std::size_t i = 0; i < env.created.size(); ++i) {
    const std::string& made = env.created[i];
    BF_FUZZ_CHECK(made.size() <= static_cast<std::size_t>(kMaxPath));
    BF_FUZZ_CHECK(made.find('/') == std::string::npos &&
                  made.find("\\\\", 1) == std::string::npos);
    BF_FUZZ_CHECK(!made.empty() && made.back() != '\\');
    const std::string outer = i > 0 ? env.created[i - 1] : std::string();
    BF_FUZZ_CHECK(i == 0 ||
                  (made.compare(0, outer.size(), outer) == 0 &&
                   made[outer.size()] == '\\' &&
                   made.find('\\', outer.size() + 1) == std::string::npos));
  }
  return 0;
}
