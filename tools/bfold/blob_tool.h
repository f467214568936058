// What bfold's blob commands share: the error exit, opening files and blobs,
// the public key to check against, a progress display, and a sink that
// counts (and optionally writes) extracted bytes. Each command group adds its
// subcommands with one of the Add functions at the end.
#ifndef BRACKENFOLD_TOOLS_BFOLD_BLOB_TOOL_H_
#define BRACKENFOLD_TOOLS_BFOLD_BLOB_TOOL_H_

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "blob/blob_reader.h"
#include "platform/unique_file.h"

namespace brackenfold {

// Errors read "bfold COMMAND: FILE: what is wrong".
[[noreturn]] void Fail(const char* command, int code,
                       const std::string& message);

// A one-line progress display on stderr, shown only on a terminal and for
// large jobs, redrawn at most a few times a second.
class Progress {
 public:
  Progress(const char* verb, std::uint64_t total);
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress();

  void Update(std::uint64_t done);

 private:
  const char* verb_;
  std::uint64_t total_;
  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_;
};

// The built-in key, or the DER public key file given with --key (checked).
std::string PublicKeyBytes(const char* command, const std::string& path);

// A blob file opened for reading, with its reader, whose "ELGA\n" sections
// verify against the key given (kBlobPublicKeySize bytes, kept by the caller).
class BlobFileReader {
 public:
  BlobFileReader(const char* command, const std::string& path,
                 const std::string& key);
  BlobReader& reader() { return *reader_; }
  // A second, fresh reader over the same file.
  std::unique_ptr<BlobReader> FreshReader();

 private:
  UniqueFile file_;
  const std::string& key_;
  std::unique_ptr<BlobReader> reader_;
};

// Every fork in table order.
struct ForkEntry {
  std::string file;
  ForkRecord fork;
};
std::vector<ForkEntry> AllForks(const BlobReader& reader);

// A ForkSink: counts bytes and passes them on to a stdio stream when it has
// one.
struct CountingSink {
  std::FILE* file = nullptr;
  std::uint64_t bytes = 0;
  std::uint64_t base = 0;
  Progress* progress = nullptr;
};
bool CountBytes(void* context, const char* bytes, std::size_t count);

void AddKeygenCommand(CLI::App& app);   // pack_commands.cc
void AddPackCommand(CLI::App& app);     // pack_commands.cc
void AddVerifyCommand(CLI::App& app);   // verify_list_commands.cc
void AddListCommand(CLI::App& app);     // verify_list_commands.cc
void AddExtractCommand(CLI::App& app);  // extract_command.cc

}  // namespace brackenfold

#endif  // BRACKENFOLD_TOOLS_BFOLD_BLOB_TOOL_H_
