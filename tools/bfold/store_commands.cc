#include "tools/bfold/commands.h"

namespace brackenfold {

void AddStoreCommands(CLI::App& app) { (void)app; }

}  // namespace brackenfold
