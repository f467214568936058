// The pieces bfold's blob commands share, and AddBlobCommands.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "blob/blob_key.h"
#include "blob/fork_sink.h"
#include "tools/bfold/blob_tool.h"
#include "tools/bfold/commands.h"

namespace brackenfold {

namespace {

constexpr std::uint64_t kProgressThreshold = 16 << 20;

}  // namespace

void Fail(const char* command, int code, const std::string& message) {
  std::fprintf(stderr, "bfold %s: %s\n", command, message.c_str());
  throw CLI::RuntimeError(code);
}

Progress::Progress(const char* verb, std::uint64_t total)
    : verb_(verb),
      total_(total),
      enabled_(total >= kProgressThreshold && isatty(fileno(stderr))) {}

Progress::~Progress() {
  if (shown_) std::fprintf(stderr, "\r%60s\r", "");
}

void Progress::Update(std::uint64_t done) {
  if (!enabled_) return;
  auto now = std::chrono::steady_clock::now();
  if (shown_ && done < total_ && now - last_ < std::chrono::milliseconds(200)) {
    return;
  }
  last_ = now;
  shown_ = true;
  std::fprintf(stderr, "\r%s %3d%% (%llu of %llu MiB)", verb_,
               static_cast<int>(total_ ? done * 100 / total_ : 100),
               static_cast<unsigned long long>(done >> 20),
               static_cast<unsigned long long>(total_ >> 20));
  std::fflush(stderr);
}

std::string PublicKeyBytes(const char* command, const std::string& path) {
  if (path.empty()) {
    return std::string(reinterpret_cast<const char*>(BlobPublicKey),
                       kBlobPublicKeySize);
  }
  std::string der, error;
  BlobKey key;
  if (!ReadWholeFile(path, &der)) {
    Fail(command, kExitFailed, path + ": cannot read");
  }
  if (!DecodeBlobPublicKey(der, &key, &error)) {
    Fail(command, kExitFailed, path + ": not a blob public key: " + error);
  }
  return der;
}

BlobFileReader::BlobFileReader(const char* command, const std::string& path,
                               const std::string& key)
    : file_(OpenUniqueFile(path, "rb")), key_(key) {
  if (!file_) {
    Fail(command, kExitFailed, path + ": cannot open: " + std::strerror(errno));
  }
  reader_ = FreshReader();
}

std::unique_ptr<BlobReader> BlobFileReader::FreshReader() {
  return std::make_unique<BlobReader>(
      StdioBlobStream(file_.get()),
      reinterpret_cast<const unsigned char*>(key_.data()));
}

std::vector<ForkEntry> AllForks(const BlobReader& reader) {
  std::vector<ForkEntry> forks;
  for (const auto& [name, file] : reader.GetFiles()) {
    for (const auto& [fork_name, fork] : file.forks) {
      forks.push_back({file.name, fork});
    }
  }
  return forks;
}

bool CountBytes(void* context, const char* bytes, std::size_t count) {
  auto* sink = static_cast<CountingSink*>(context);
  if (sink->file != nullptr && !FileSink(sink->file, bytes, count)) {
    return false;
  }
  sink->bytes += count;
  if (sink->progress) sink->progress->Update(sink->base + sink->bytes);
  return true;
}

void AddBlobCommands(CLI::App& app) {
  AddKeygenCommand(app);
  AddPackCommand(app);
  AddVerifyCommand(app);
  AddListCommand(app);
  AddExtractCommand(app);
}

}  // namespace brackenfold
