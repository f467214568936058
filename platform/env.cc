#include "platform/env.h"

namespace brackenfold {
namespace {
Env* current_env = nullptr;
}  // namespace

Env& CurrentEnv() { return current_env ? *current_env : *Env::Default(); }

Env* SetCurrentEnv(Env* env) {
  Env* previous = current_env;
  current_env = env;
  return previous;
}

}  // namespace brackenfold
