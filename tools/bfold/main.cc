// bfold: the component publisher's tool. Makes keys, packs and signs blobs,
// verifies, lists and extracts them, shows stores, and installs silently.
#include <cstdio>
#include <exception>
#include <new>

#include "brackenfold_version.h"
#include "tools/bfold/commands.h"

int main(int argc, char** argv) {
  CLI::App app{
      "bfold: make, sign, check and install Vantorium component blobs"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "bfold " BRACKENFOLD_VERSION_TEXT);
  brackenfold::AddBlobCommands(app);
  brackenfold::AddStoreCommands(app);
  brackenfold::AddComponentCommands(app);
  brackenfold::AddDoctorCommand(app);
  try {
    app.parse(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "bfold: out of memory\n");
    return brackenfold::kExitFailed;
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    // CLI11 reports usage errors with its own codes; bfold's is 2.
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
      return brackenfold::kExitOk;
    }
    if (dynamic_cast<const CLI::RuntimeError*>(&e) != nullptr) return code;
    return brackenfold::kExitUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bfold: %s\n", e.what());
    return brackenfold::kExitFailed;
  }
  return brackenfold::kExitOk;
}
