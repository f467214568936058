// The subcommands of bfold, the publisher's tool. Each group adds its
// subcommands to the application; a subcommand's callback throws
// CLI::RuntimeError(code) to leave with an exit status.
//
// Exit statuses: 0 success; 1 a blob, store or installation that fails a check,
// is malformed, or cannot be processed; 2 a usage error.
#ifndef BRACKENFOLD_TOOLS_BFOLD_COMMANDS_H_
#define BRACKENFOLD_TOOLS_BFOLD_COMMANDS_H_

#include <CLI/CLI.hpp>

namespace brackenfold {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

void AddBlobCommands(CLI::App& app);   // keygen, pack, verify, list, extract
void AddStoreCommands(CLI::App& app);  // index, installed
void AddComponentCommands(CLI::App& app);  // check, install
void AddDoctorCommand(CLI::App& app);      // doctor

}  // namespace brackenfold

#endif  // BRACKENFOLD_TOOLS_BFOLD_COMMANDS_H_
