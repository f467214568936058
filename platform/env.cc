#include "platform/env.h"

#include <cstring>

namespace brackenfold {
namespace {
Env* current_env = nullptr;
}  // namespace

Env& CurrentEnv() { return current_env ? *current_env : *Env::Default(); }

std::string FileErrorText(int error) {
  switch (error) {
    case 0:
      return "no error";
    case kErrnoExists:
      return "exists";
    case kErrnoNoEntry:
      return "does not exist";
    case kErrnoLink:
      return "is a link, or a directory on its way is one";
    default: {
      const char* text = std::strerror(error);
      return text != nullptr ? text : "error " + std::to_string(error);
    }
  }
}

Env* SetCurrentEnv(Env* env) {
  Env* previous = current_env;
  current_env = env;
  return previous;
}

}  // namespace brackenfold
