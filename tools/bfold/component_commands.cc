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

// Points the installed-component search at the given directories, through a
// search list file of its own in the temporary directory, for as long as it
// lives.
class ScopedSearchList {
 public:
  ScopedSearchList(const char* command,
                   const std::vector<FilePath>& directories)
      : previous_(SearchListFile()) {
    std::string text;
    for (const FilePath& directory : directories) {
      if (directory.text().find_first_of("\r\n") != std::string::npos) {
        Fail(command, "a directory name holds a line break");
      }
      text += directory.text() + "\n";
    }
    FilePath list;
    if (!list.MakeUniqueFile("bfold-search", std::string(".txt"), true)) {
      Fail(command, "cannot make a file in the temporary directory");
    }
    path_ = list.text();
    std::FILE* stream = list.OpenStream("wb");
    bool written = stream != nullptr && std::fwrite(text.data(), 1, text.size(),
                                                    stream) == text.size();
    if (stream != nullptr && std::fclose(stream) != 0) written = false;
    if (!written) {
      list.RemoveFile();
      Fail(command, "cannot write '" + path_ + "'");
    }
    SetSearchListFile(path_);
  }
  ~ScopedSearchList() {
    SetSearchListFile(previous_);
    FilePath(path_).RemoveFile();
  }
  ScopedSearchList(const ScopedSearchList&) = delete;
  ScopedSearchList& operator=(const ScopedSearchList&) = delete;

 private:
  std::string previous_;
  std::string path_;
};

struct BlobComponent {
  std::string path;
  std::string id;
  std::int32_t version = 0;
};

// Opens and verifies every blob, as the installer will; a blob that fails
// is named (after ComponentBlob::Init's own line) and ends the command. With
// installed and required given, it also merges each blob's counted
// prerequisites into required, as the prerequisite check does.
std::vector<BlobComponent> ReadComponents(
    const char* command, const std::vector<std::string>& blob_files,
    const InstalledComponents* installed = nullptr,
    RequiredVersions* required = nullptr) {
  std::vector<BlobComponent> components;
  for (const std::string& path : blob_files) {
    BlobFile stream(path);
    if (!stream) Fail(command, "cannot open blob '" + path + "'");
    ComponentBlob blob(StdioBlobStream(stream.get()));
    if (!blob.Init(false)) {
      Fail(command, "'" + path +
                        "' is not a component blob signed with the built-in "
                        "key, or its descriptor cannot be read");
    }
    if (installed != nullptr && required != nullptr) {
      MergeRequirements(*installed, blob.GetPrerequisites(), *required);
    }
    components.push_back(BlobComponent{path, blob.GetId(), blob.GetVersion()});
  }
  return components;
}

// Runs the prerequisite check, printing every unmet requirement (or, with
// json, the whole result); false when there is one.
bool ReportPrerequisites(const std::vector<std::string>& blob_files,
                         const std::vector<BlobComponent>& components,
                         bool json) {
  std::vector<UnmetRequirement> unmet;
  std::vector<FilePath> paths(blob_files.begin(), blob_files.end());
  bool met = CheckPrerequisites(&unmet, true, paths);
  if (json) {
    Json blobs = Json::array(), unmet_json = Json::array();
    for (const BlobComponent& component : components) {
      blobs.push_back({{"blob", JsonText(component.path)},
                       {"id", JsonText(component.id)},
                       {"version", component.version}});
    }
    for (const UnmetRequirement& requirement : unmet) {
      unmet_json.push_back(
          {{"id", JsonText(requirement.id)}, {"version", requirement.version}});
    }
    PrintJson({{"components", std::move(blobs)},
               {"unmet", std::move(unmet_json)},
               {"met", met}});
    return met;
  }
  for (const UnmetRequirement& requirement : unmet) {
    std::printf("unmet: %s version %d or later\n", requirement.id.c_str(),
                static_cast<int>(requirement.version));
  }
  return met;
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
  std::vector<BlobComponent> components =
      ReadComponents("check", options.blobs);
  ScopedSearchList search_list("check", directories);
  for (const BlobComponent& component : components) {
    if (options.json) break;
    std::printf("%s %d  %s\n", component.id.c_str(),
                static_cast<int>(component.version), component.path.c_str());
  }
  if (!ReportPrerequisites(options.blobs, components, options.json)) {
    Fail("check", "the prerequisites of these blobs are not met");
  }
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
  ScopedSearchList search_list("install", directories);
  // This pass over the blobs is the installation's prerequisite check, so
  // each blob is opened and its signature checked twice in all, as the
  // installer does: here, and when its files are written.
  InstalledComponents installed;
  SearchInstalledComponents(installed, true);
  RequiredVersions required;
  std::vector<BlobComponent> components =
      ReadComponents("install", options.blobs, &installed, &required);
  AvailableVersions available;
  for (const BlobComponent& component : components) {
    available.emplace(component.id, component.version);
  }
  std::vector<UnmetRequirement> unmet;
  if (!CheckRequirements(installed, available, required, &unmet)) {
    for (const UnmetRequirement& requirement : unmet) {
      std::printf("unmet: %s version %d or later\n", requirement.id.c_str(),
                  static_cast<int>(requirement.version));
    }
    Fail("install",
         "the prerequisites of these blobs are not met; nothing was installed");
  }
  std::vector<FilePath> paths(options.blobs.begin(), options.blobs.end());
  if (!InstallCheckedComponents(directory, paths)) {
    Fail("install",
         "could not install into '" + directory.text() +
             "': the directory cannot be made, the store is locked by "
             "another process, a payload file cannot be written, or the "
             "index cannot be replaced; the index is unchanged");
  }
  for (const BlobComponent& component : components) {
    std::printf("installed %s %d\n", component.id.c_str(),
                static_cast<int>(component.version));
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
