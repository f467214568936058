// Fuzzes CreateDirectoryPath (win32/directory_path.h) with an Env that creates
// nothing: it records the directories asked for, none of which is there yet.
// Directories are made outermost first, one level at a time, each at most
// MAX_PATH characters long, with backslashes only and no empty component; a
// fatal end (FakeExit) always shows its report.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tests/support/fake_env.h"
#include "win32/directory_path.h"

namespace brackenfold {
namespace {

class RecordingEnv : public FakeEnv {
 public:
  std::vector<std::string> created;

  PathStatus Stat(const std::string&) override {
    PathStatus status;
    status.error = kErrnoNoEntry;  // each level is asked for once
    return status;
  }
  bool NewDirectory(const std::string& path) override {
    created.push_back(path);
    return true;
  }
};

}  // namespace
}  // namespace brackenfold

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace brackenfold;
  const std::string raw(reinterpret_cast<const char*>(data), size);
  RecordingEnv env;
  Env* previous = SetCurrentEnv(&env);
  bool ended = false;
  try {
    CreateDirectoryPath(raw.substr(0, raw.find('\0')));
  } catch (const FakeExit& exit) {
    BF_FUZZ_CHECK(exit.status == 1);
    ended = true;
  }
  SetCurrentEnv(previous);
  BF_FUZZ_CHECK(ended == !env.boxes.empty());
  for (std::size_t i = 0; i < env.created.size(); ++i) {
    const std::string& made = env.created[i];
    BF_FUZZ_CHECK(made.size() <= static_cast<std::size_t>(kMaxPath));
    BF_FUZZ_CHECK(made.find('/') == std::string::npos &&
                  made.find("\\\\", 1) == std::string::npos);
    // One level below the one before.
    BF_FUZZ_CHECK(i == 0 ||
                  made.substr(0, made.rfind('\\')) == env.created[i - 1]);
  }
  return 0;
}
