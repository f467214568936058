// bfold verify and list: how a blob stands against a key, and what it holds.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "blob/fork_sink.h"
#include "component/descriptor.h"
#include "tools/bfold/blob_tool.h"
#include "tools/bfold/commands.h"
#include "tools/bfold/json_output.h"

namespace brackenfold {

namespace {

constexpr std::uint32_t kMaxShownDescriptor = 64 << 10;

bool ReadText(BlobReader& reader, const std::string& name, std::string* text) {
  ForkRecord fork;
  if (!reader.FindFork(name, kMainFork, &fork) ||
      fork.uncompressed_size > kMaxShownDescriptor) {
    return false;
  }
  TextSinkContext context{text};
  return reader.ExtractFork(&TextSink, &context, name, kMainFork);
}

// --- verify and list: how a blob stands against a key ---------------------

// The two checks behind every verdict bfold gives: the installer's (a valid
// signature required, every section present verified), then, unless that
// found a fault, whether a digest section is there.
struct Standing {
  BlobVerdict signature = BlobVerdict::Malformed;
  BlobVerdict digest = BlobVerdict::Malformed;
};

BlobVerdict Verdict(BlobFileReader& blob, BlobCheck required_check) {
  std::unique_ptr<BlobReader> reader = blob.FreshReader();
  reader->Open(required_check, false);
  return reader->GetVerdict();
}

Standing CheckStanding(BlobFileReader& blob) {
  Standing standing;
  standing.signature = Verdict(blob, BlobCheck::Signature);
  if (standing.signature == BlobVerdict::Ok ||
      standing.signature == BlobVerdict::SignatureMissing) {
    standing.digest = Verdict(blob, BlobCheck::Digest);
  }
  return standing;
}

std::string KeyName(const std::string& key_path) {
  return key_path.empty() ? "built-in" : key_path;
}

// One line for people: valid, unsigned (said plainly), or the failed check.
std::string StandingText(const Standing& standing) {
  bool digest = standing.digest == BlobVerdict::Ok;
  if (standing.signature == BlobVerdict::Ok) {
    return digest ? "digest and signature verified"
                  : "signature verified (no digest section)";
  }
  if (standing.signature == BlobVerdict::SignatureMissing) {
    return digest ? "UNSIGNED: no signature section, only a digest (which "
                    "matches); the installer refuses it"
                  : "UNSIGNED: no signature or digest section; the installer "
                    "refuses it";
  }
  return std::string("FAILED: ") + BlobVerdictText(standing.signature);
}

struct BlobQuery {
  std::string blob;
  std::string key_path;
  bool json = false;
};

// --- verify -----------------------------------------------------------------

void RunVerify(const BlobQuery& query) {
  std::string key = PublicKeyBytes("verify", query.key_path);
  BlobFileReader blob("verify", query.blob, key);
  Standing standing = CheckStanding(blob);
  Json document = {
      {"blob", JsonText(query.blob)},
      {"signature", SignatureJson(standing.signature, standing.digest,
                                  KeyName(query.key_path))},
      {"data", nullptr}};
  auto finish = [&](bool ok, const std::string& failure) {
    document["ok"] = ok;
    if (query.json) PrintJson(document);
    if (!ok) {
      if (query.json) throw CLI::RuntimeError(kExitFailed);
      Fail("verify", kExitFailed, query.blob + ": FAILED: " + failure);
    }
  };
  if (standing.signature != BlobVerdict::Ok) {
    finish(false, BlobVerdictText(standing.signature));
  }
  // Every fork inflates to exactly its recorded sizes.
  BlobReader& reader = blob.reader();
  reader.Open(BlobCheck::None, true);
  std::vector<ForkEntry> forks = AllForks(reader);
  std::uint64_t total = 0;
  for (const auto& entry : forks) total += entry.fork.uncompressed_size;
  Progress progress("verifying", total);
  CountingSink sink;
  sink.progress = &progress;
  for (const auto& entry : forks) {
    sink.base += sink.bytes;
    sink.bytes = 0;
    if (!reader.ExtractFork(&CountBytes, &sink, entry.file, entry.fork.name)) {
      document["data"] = {{"ok", false},
                          {"file", JsonText(entry.file)},
                          {"fork", JsonText(entry.fork.name)}};
      finish(false, "format: \"" + entry.file + "\" (" + entry.fork.name +
                        ") does not inflate to its recorded sizes");
    }
  }
  document["data"] = {{"ok", true}, {"files", reader.GetFiles().size()}};
  finish(true, "");
  if (!query.json) {
    std::printf("%s: OK: %s, %zu files\n", query.blob.c_str(),
                StandingText(standing).c_str(), reader.GetFiles().size());
  }
}

// --- list -------------------------------------------------------------------

// The descriptor files present, one value per entry, multi-line values
// indented below their name.
void PrintDescriptor(BlobReader& reader) {
  bool header = false;
  for (const char* name_key : {"id", "version", "title", "description",
                               "prereq", "initialize", "platform", "expose"}) {
    std::string name = kDescriptorPrefix + std::string(name_key), value;
    if (!reader.HasFork(name, kMainFork)) continue;
    if (!header) std::printf("\ncomponent:\n");
    header = true;
    if (!ReadText(reader, name, &value)) {
      std::printf("  %s: (unreadable or too long)\n", name_key);
      continue;
    }
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) {
      value.pop_back();
    }
    std::string shown;
    for (char c : value) {
      if (c == '\n') {
        shown += "\n    ";
      } else if (c != '\r') {
        shown += c;
      }
    }
    bool multi_line = shown.find('\n') != std::string::npos;
    std::printf("  %s:%s%s\n", name_key, multi_line ? "\n    " : " ",
                shown.c_str());
  }
}

void RunList(const BlobQuery& query) {
  std::string key = PublicKeyBytes("list", query.key_path);
  BlobFileReader blob("list", query.blob, key);
  BlobReader& reader = blob.reader();
  if (!reader.Open(BlobCheck::None, true)) {
    Fail("list", kExitFailed,
         query.blob + ": " + BlobVerdictText(BlobVerdict::Malformed));
  }
  Standing standing = CheckStanding(blob);
  if (query.json) {
    PrintJson({{"blob", JsonText(query.blob)},
               {"files", FilesJson(reader)},
               {"component", ComponentJson(query.blob)},
               {"signature", SignatureJson(standing.signature, standing.digest,
                                           KeyName(query.key_path))}});
    return;
  }
  std::printf("%12s %12s  %-15s %s\n", "SIZE", "COMPRESSED", "FORK", "NAME");
  std::uint64_t size = 0, compressed = 0;
  for (const auto& entry : AllForks(reader)) {
    std::printf("%12u %12u  %-15s %s\n", entry.fork.uncompressed_size,
                entry.fork.compressed_size, entry.fork.name.c_str(),
                entry.file.c_str());
    size += entry.fork.uncompressed_size;
    compressed += entry.fork.compressed_size;
  }
  std::printf(
      "%12llu %12llu  %zu files\n", static_cast<unsigned long long>(size),
      static_cast<unsigned long long>(compressed), reader.GetFiles().size());
  PrintDescriptor(reader);
  std::printf("\nsignature (%s key): %s\n",
              query.key_path.empty() ? "built-in" : query.key_path.c_str(),
              StandingText(standing).c_str());
}

}  // namespace

void AddVerifyCommand(CLI::App& app) {
  auto verify_query = std::make_shared<BlobQuery>();
  CLI::App* verify = app.add_subcommand(
      "verify",
      "Check a blob's digest, signature and data; says which check failed");
  verify->add_option("BLOB", verify_query->blob, "Blob file")->required();
  verify->add_option("--key", verify_query->key_path,
                     "DER public key to check against (default: the built-in "
                     "key)");
  verify->add_flag("--json", verify_query->json,
                   "Print the verdict as JSON (see docs/blob-format.md)");
  verify->footer(
      "Examples:\n"
      "  bfold verify viewer.blob\n\n"
      "  bfold verify --key publisher.der --json viewer.blob");
  verify->callback([verify_query] { RunVerify(*verify_query); });
}

void AddListCommand(CLI::App& app) {
  auto list_query = std::make_shared<BlobQuery>();
  CLI::App* list = app.add_subcommand(
      "list",
      "Show a blob's table of contents, descriptor values and whether it is "
      "signed");
  list->add_option("BLOB", list_query->blob, "Blob file")->required();
  list->add_option("--key", list_query->key_path,
                   "DER public key for the signature (default: built-in)");
  list->add_flag("--json", list_query->json,
                 "Print files, forks, sizes, the component as the installer "
                 "reads it, and the signature verdict as JSON");
  list->footer(
      "Examples:\n"
      "  bfold list viewer.blob\n\n"
      "  bfold list --json viewer.blob | jq .component.id");
  list->callback([list_query] { RunList(*list_query); });
}

}  // namespace brackenfold
