// bfold check and bfold install: the installer's prerequisite check of a set
// of blobs, and the installation itself, without any window. Installed
// components are looked for in the stores and directories given (and, for
// install, in the target directory), never in the per-user store.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "component/component_blob.h"
#include "component/component_install.h"
#include "component/prerequisite_check.h"
#include "platform/env.h"
#include "store/file_path.h"
#include "store/index_file.h"
#include "store/installed_components.h"
#include "tools/bfold/commands.h"
#include "tools/bfold/json_output.h"
#include "tools/bfold/search_options.h"

namespace brackenfold {
namespace {

[[noreturn]] void Fail(const char* command, const std::string& message,
                       int code = kExitFailed) {
  std::fprintf(stderr, "bfold %s: %s\n", command, message.c_str());
  throw CLI::RuntimeError(code);
}

// Opens and verifies every blob, as the installer does, and keeps them open
// for the installation; a blob that fails is named with the cause (after
// ComponentBlob::Init's own line) and ends the command.
std::vector<OpenedBlob> OpenComponents(const char* command,
                                       const std::vector<std::string>& files) {
  std::vector<OpenedBlob> blobs;
  std::string why;
  std::vector<FilePath> paths(files.begin(), files.end());
  if (!OpenBlobs(paths, &blobs, &why)) Fail(command, why);
  return blobs;
}

void PrintUnmet(const std::vector<UnmetRequirement>& unmet) {
  for (const UnmetRequirement& requirement : unmet) {
    std::printf("unmet: %s version %d or later\n", requirement.id.c_str(),
                static_cast<int>(requirement.version));
  }
}

// The check's result as JSON: every blob's id and version, and the unmet
// requirements.
void PrintCheckJson(const std::vector<OpenedBlob>& blobs,
                    const std::vector<UnmetRequirement>& unmet, bool met) {
  Json blobs_json = Json::array(), unmet_json = Json::array();
  for (const OpenedBlob& opened : blobs) {
    blobs_json.push_back({{"blob", JsonText(opened.path.text())},
                          {"id", JsonText(opened.blob->GetId())},
                          {"version", opened.blob->GetVersion()}});
  }
  for (const UnmetRequirement& requirement : unmet) {
    unmet_json.push_back(
        {{"id", JsonText(requirement.id)}, {"version", requirement.version}});
  }
  PrintJson({{"components", std::move(blobs_json)},
             {"unmet", std::move(unmet_json)},
             {"met", met}});
}

struct CheckOptions {
  SearchOptions search;
  std::vector<std::string> blobs;
  bool json = false;
};

void RunCheck(const CheckOptions& options) {
  std::vector<FilePath> directories;
  std::string error;
  if (!CollectSearchDirectories(options.search, &directories, &error)) {
    Fail("check", error);
  }
  std::vector<OpenedBlob> blobs = OpenComponents("check", options.blobs);
  std::vector<UnmetRequirement> unmet;
  bool met =
      CheckPrerequisites(SearchInstalledComponents(directories), blobs, &unmet);
  if (options.json) {
    PrintCheckJson(blobs, unmet, met);
  } else {
    for (const OpenedBlob& opened : blobs) {
      std::printf("%s %d  %s\n", opened.blob->GetId().c_str(),
                  static_cast<int>(opened.blob->GetVersion()),
                  opened.path.text().c_str());
    }
    PrintUnmet(unmet);
  }
  if (!met) Fail("check", "the prerequisites of these blobs are not met");
  if (!options.json) std::printf("all prerequisites met\n");
}

struct InstallOptions {
  std::string directory;
  SearchOptions search;
  std::vector<std::string> blobs;
};

void RunInstall(const InstallOptions& options) {
  FilePath directory(options.directory);
  bool is_directory = false;
  if (directory.Exists(&is_directory) && !is_directory) {
    Fail("install", "'" + options.directory + "' is not a directory");
  }
  if (!directory.EndsWithSeparator()) {
    directory = options.directory + kPathSeparator;
  }
  // The target store counts as installed, as the machine-wide store does for
  // the installer.
  std::vector<FilePath> directories{directory};
  std::string error;
  if (!CollectSearchDirectories(options.search, &directories, &error)) {
    Fail("install", error);
  }
  // Each blob is opened and checked once, and stays open until its files
  // are written, as in the installer.
  std::vector<OpenedBlob> blobs = OpenComponents("install", options.blobs);
  std::vector<UnmetRequirement> unmet;
  std::string why;
  if (!InstallComponents(SearchInstalledComponents(directories), directory,
                         blobs, &unmet, &why)) {
    if (!unmet.empty()) {
      PrintUnmet(unmet);
      Fail("install",
           "the prerequisites of these blobs are not met; nothing was "
           "installed");
    }
    Fail("install", "could not install into '" + directory.text() +
                        "': " + why + "; the index is unchanged");
  }
  for (const OpenedBlob& opened : blobs) {
    std::printf("installed %s %d\n", opened.blob->GetId().c_str(),
                static_cast<int>(opened.blob->GetVersion()));
  }
  FilePath index_path(directory);
  index_path.AppendFile(kIndexFileName);
  std::printf("index: %s\n", index_path.text().c_str());
}

}  // namespace

void AddComponentCommands(CLI::App& app) {
  CLI::App* check = app.add_subcommand(
      "check",
      "Check the prerequisites of a set of component blobs against each other "
      "and the installed components, as the installer does; prints every "
      "unmet requirement and exits 1 when there is one");
  auto check_options = std::make_shared<CheckOptions>();
  AddSearchOptions(check, check_options->search);
  check->add_option("BLOB", check_options->blobs, "Component blob files")
      ->required();
  check->add_flag("--json", check_options->json,
                  "Print the blobs' ids and versions and the unmet "
                  "requirements as JSON (see docs/blob-format.md)");
  check->footer(
      "Examples:\n"
      "  bfold check --store /opt/vantorium/components core.blob "
      "viewer.blob\n\n"
      "  bfold check --json --search plugins viewer.blob");
  check->callback([check_options] { RunCheck(*check_options); });

  CLI::App* install = app.add_subcommand(
      "install",
      "Install component blobs into a components directory, as the installer "
      "does, without any window: prerequisites, payload files under unique "
      "names, the index, and the initialisation libraries");
  auto install_options = std::make_shared<InstallOptions>();
  install
      ->add_option("--dir", install_options->directory,
                   "Components directory (the store) to install into")
      ->required();
  AddSearchOptions(install, install_options->search);
  install->add_option("BLOB", install_options->blobs, "Component blob files")
      ->required();
  install->footer(
      "Example:\n"
      "  bfold install --dir /opt/vantorium/components core.blob viewer.blob");
  install->callback([install_options] { RunInstall(*install_options); });
}

}  // namespace brackenfold
