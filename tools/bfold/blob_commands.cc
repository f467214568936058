#include "tools/bfold/commands.h"

namespace brackenfold {

void AddBlobCommands(CLI::App& app) { (void)app; }

}  // namespace brackenfold
