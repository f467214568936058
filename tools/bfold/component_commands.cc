#include "tools/bfold/commands.h"

namespace brackenfold {

void AddComponentCommands(CLI::App& app) { (void)app; }

}  // namespace brackenfold
