// bfold index and bfold installed: what a component store records, and which
// components the installed-component search finds across stores and search
// directories. Both read under the store lock when it can be had within the
// search's time-out, and without it otherwise, as the installer does.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/env.h"
#include "store/file_path.h"
#include "store/index_file.h"
#include "store/installed_components.h"
#include "store/store_lock.h"
#include "tools/bfold/commands.h"
#include "tools/bfold/json_output.h"
#include "tools/bfold/search_options.h"

namespace brackenfold {
namespace {

[[noreturn]] void Fail(const char* command, const std::string& message) {
  std::fprintf(stderr, "bfold %s: %s\n", command, message.c_str());
  throw CLI::RuntimeError(kExitFailed);
}

void RunIndex(const std::string& target, bool json) {
  FilePath index_path(target);
  bool is_directory = false;
  if (!index_path.Exists(&is_directory)) {
    Fail("index", "'" + target + "' does not exist");
  }
  if (is_directory) {
    index_path.AppendFile(kIndexFileName);
    if (!index_path.Exists()) {
      Fail("index",
           "no " + std::string(kIndexFileName) + " in '" + target + "'");
    }
  }
  StoreLock lock = AcquireStoreLock(index_path, kSearchLockTimeoutMs);
  if (!lock.held()) {
    std::fprintf(stderr,
                 "bfold index: the store is locked by another process; "
                 "reading '%s' without the lock\n",
                 index_path.text().c_str());
  }
  // Read from its directory, never through a link.
  IndexReader reader;
  if (int error = reader.OpenInStore(index_path); error != 0) {
    Fail("index",
         "cannot open '" + index_path.text() + "': " + FileErrorText(error));
  }
  IndexEntry entry;
  Json entries = Json::array();
  while (reader.ReadEntry(&entry.id, &entry.version, &entry.files)) {
    if (json) {
      entries.push_back(IndexEntryJson(entry));
      continue;
    }
    std::printf("%s %d\n", entry.id.c_str(), static_cast<int>(entry.version));
    for (const auto& [registered, stored] : entry.files) {
      std::printf("  %s -> %s\n", registered.c_str(), stored.c_str());
    }
  }
  if (json) {
    PrintJson({{"index", JsonText(index_path.text())},
               {"locked", lock.held()},
               {"entries", std::move(entries)}});
  }
}

struct InstalledOptions {
  SearchOptions search;
  bool json = false;
};

void RunInstalled(const InstalledOptions& options) {
  if (options.search.empty()) {
    std::fprintf(stderr,
                 "bfold installed: nothing to search; give --store, --search "
                 "or --search-list\n");
    throw CLI::RuntimeError(kExitUsage);
  }
  std::vector<FilePath> directories;
  std::string error;
  if (!CollectSearchDirectories(options.search, &directories, &error)) {
    Fail("installed", error);
  }
  const InstalledComponents table = SearchInstalledComponents(directories);
  if (options.json) {
    PrintJson(InstalledJson(table));
    return;
  }
  for (const auto& [id, version] : table) {
    std::printf("%s %d\n", id.c_str(), static_cast<int>(version));
  }
}

}  // namespace

void AddStoreCommands(CLI::App& app) {
  CLI::App* index = app.add_subcommand(
      "index",
      "Print the entries of a component store's index file (compindx.dat): "
      "each component's id and version, then its files as registered name "
      "-> stored name");
  auto target = std::make_shared<std::string>();
  index->add_option("DIR", *target, "Store directory, or its index file")
      ->required();
  auto index_json = std::make_shared<bool>(false);
  index->add_flag("--json", *index_json,
                  "Print the entries as JSON (see docs/blob-format.md)");
  index->footer(
      "Examples:\n"
      "  bfold index /opt/vantorium/components\n\n"
      "  bfold index --json /opt/vantorium/components/compindx.dat");
  index->callback([target, index_json] { RunIndex(*target, *index_json); });

  CLI::App* installed = app.add_subcommand(
      "installed",
      "Print the highest installed version of every component found in the "
      "given stores and search directories, one 'ID VERSION' a line");
  auto options = std::make_shared<InstalledOptions>();
  AddSearchOptions(installed, options->search);
  installed->add_flag("--json", options->json,
                      "Print the components as JSON (see docs/blob-format.md)");
  installed->footer(
      "Examples:\n"
      "  bfold installed --store /opt/vantorium/components\n\n"
      "  bfold installed --json --store a/components --search b");
  installed->callback([options] { RunInstalled(*options); });
}

}  // namespace brackenfold
