// bfold extract: a blob's files into a directory, or one fork to a file or
// standard output.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "component/descriptor.h"
#include "tools/bfold/blob_tool.h"
#include "tools/bfold/commands.h"

namespace brackenfold {

namespace {

namespace fs = std::filesystem;

// --- extract ----------------------------------------------------------------

struct ExtractOptions {
  std::string blob;
  std::string directory;
  std::vector<std::string> names;
  std::string key_path;
  std::string fork = kMainFork;
  std::string output;  // one file to this path, "-" for standard output
  bool no_verify = false;
};

// Writes one fork to the -o path or standard output; a failed extraction
// leaves no file.
void ExtractToOutput(const ExtractOptions& options, BlobReader& reader,
                     const std::string& name, std::uint64_t size) {
  bool to_stdout = options.output == "-";
  UniqueFile out;
  if (!to_stdout) out = OpenUniqueFile(options.output, "wb");
  if (!to_stdout && !out) {
    Fail("extract", kExitFailed,
         options.output + ": cannot create: " + std::strerror(errno));
  }
  Progress progress("extracting", size);
  CountingSink sink;
  sink.progress = &progress;
  sink.file = to_stdout ? stdout : out.get();
  bool ok = reader.ExtractFork(&CountBytes, &sink, name, options.fork);
  if (to_stdout) {
    ok = std::fflush(stdout) == 0 && ok;
  } else if (std::fclose(out.release()) != 0) {
    ok = false;
  }
  if (!ok) {
    if (!to_stdout) std::remove(options.output.c_str());
    Fail("extract", kExitFailed,
         options.blob + ": \"" + name + "\" (" + options.fork +
             ") does not extract (corrupt data, sizes that do not match, or "
             "a write error)" +
             (to_stdout ? "" : "; nothing kept"));
  }
}

// Opens the blob: with a valid signature (every section present verifying),
// or without any check when --no-verify is given.
void OpenForExtraction(const ExtractOptions& options, BlobReader& reader) {
  if (options.no_verify) {
    if (!reader.Open(BlobCheck::None, true)) {
      Fail("extract", kExitFailed,
           options.blob + ": " + BlobVerdictText(BlobVerdict::Malformed));
    }
  } else {
    // A valid signature is required, and every section present must verify.
    reader.Open(BlobCheck::Signature, false);
    BlobVerdict verdict = reader.GetVerdict();
    if (verdict == BlobVerdict::SignatureMissing) {
      Fail("extract", kExitFailed,
           options.blob + ": " + BlobVerdictText(verdict) +
               "; an unsigned blob is extracted only with --no-verify");
    }
    if (verdict != BlobVerdict::Ok) {
      Fail("extract", kExitFailed,
           options.blob + ": " + BlobVerdictText(verdict) +
               " (--key for another signer's key; --no-verify to skip the "
               "check)");
    }
  }
}

// Writes each named fork below directory; a failed file is reported, removed
// and counted, and the others are still written.
int ExtractIntoDirectory(const ExtractOptions& options, BlobReader& reader,
                         const std::vector<std::string>& names,
                         const std::string& directory, std::uint64_t total) {
  Progress progress("extracting", total);
  CountingSink sink;
  sink.progress = &progress;
  int failures = 0;
  for (const std::string& name : names) {
    fs::path target = fs::path(directory) / fs::path(name);
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    UniqueFile out = OpenUniqueFile(target.string(), "wb");
    if (!out) {
      std::fprintf(stderr, "bfold extract: %s: cannot create: %s\n",
                   target.string().c_str(), std::strerror(errno));
      ++failures;
      continue;
    }
    sink.file = out.get();
    sink.base += sink.bytes;
    sink.bytes = 0;
    bool ok = reader.ExtractFork(&CountBytes, &sink, name, options.fork);
    if (std::fclose(out.release()) != 0) ok = false;
    if (!ok) {
      std::remove(target.string().c_str());
      std::fprintf(stderr,
                   "bfold extract: %s: \"%s\" does not extract (corrupt data, "
                   "sizes that do not match, or a write error); nothing kept\n",
                   options.blob.c_str(), name.c_str());
      ++failures;
    }
  }
  return failures;
}

void RunExtract(const ExtractOptions& options) {
  if (!options.output.empty() &&
      (options.names.size() != 1 || !options.directory.empty())) {
    Fail("extract", kExitUsage,
         "-o takes exactly one NAME, and no --dir (e.g. bfold extract BLOB "
         "-o - component/id)");
  }
  std::string directory = options.directory.empty() ? "." : options.directory;
  std::string key = PublicKeyBytes("extract", options.key_path);
  BlobFileReader blob("extract", options.blob, key);
  BlobReader& reader = blob.reader();
  OpenForExtraction(options, reader);
  std::vector<std::string> names = options.names;
  if (names.empty()) {
    for (const auto& [name, file] : reader.GetFiles()) {
      if (file.forks.count(options.fork)) names.push_back(file.name);
    }
  }
  std::uint64_t total = 0;
  for (const std::string& name : names) {
    ForkRecord fork;
    if (!reader.FindFork(name, options.fork, &fork)) {
      Fail("extract", kExitFailed,
           options.blob + ": no file \"" + name + "\"" +
               (reader.GetFiles().count(name)
                    ? " with a " + options.fork + " fork"
                    : "") +
               " in the blob");
    }
    if (options.output.empty() && !IsSafePayloadName(name)) {
      Fail("extract", kExitFailed,
           options.blob + ": refusing to write \"" + name +
               "\": absolute or \"..\" names leave the directory (-o FILE "
               "writes it elsewhere)");
    }
    total += fork.uncompressed_size;
  }
  if (!options.output.empty()) {
    ExtractToOutput(options, reader, names.front(), total);
    return;
  }
  if (ExtractIntoDirectory(options, reader, names, directory, total) > 0) {
    throw CLI::RuntimeError(kExitFailed);
  }
  std::printf("extracted %zu files into %s\n", names.size(), directory.c_str());
}

}  // namespace

void AddExtractCommand(CLI::App& app) {
  auto extract_options = std::make_shared<ExtractOptions>();
  CLI::App* extract = app.add_subcommand(
      "extract",
      "Write a blob's files (all, or the NAMES given) into a directory, or one "
      "file to -o; existing files are replaced. Needs a valid signature "
      "unless --no-verify is given");
  extract->add_option("BLOB", extract_options->blob, "Blob file")->required();
  extract->add_option("NAMES", extract_options->names,
                      "Files to extract (default: all)");
  extract->add_option("-d,--dir", extract_options->directory,
                      "Destination directory (default: the current one)");
  extract->add_option("-o,--output", extract_options->output,
                      "Write the one NAME given to this file; - for standard "
                      "output");
  extract->add_option("--fork", extract_options->fork,
                      "Fork to extract: ALL_MAIN (default), MACOS_RESOURCE, "
                      "MACOS_FINDER or UNIX_EXECUTABLE");
  extract->add_option("--key", extract_options->key_path,
                      "DER public key for the signature (default: built-in)");
  extract->add_flag("--no-verify", extract_options->no_verify,
                    "Extract without checking the digest and signature");
  extract->footer(
      "Examples:\n"
      "  bfold extract viewer.blob -d out\n\n"
      "  bfold extract viewer.blob -o - component/id\n\n"
      "  bfold extract viewer.blob --fork MACOS_RESOURCE -o icon.rsrc "
      "Viewer.app");
  extract->callback([extract_options] { RunExtract(*extract_options); });
}

}  // namespace brackenfold
