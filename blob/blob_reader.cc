#include "blob/blob_reader.h"

#include "blob/blob_internal.h"
#include "blob/leading_integer.h"

namespace brackenfold {

const char* const ForkNames[4] = {"ALL_MAIN", "MACOS_RESOURCE", "MACOS_FINDER",
                                  "UNIX_EXECUTABLE"};

namespace {

std::size_t StdioRead(void* handle, void* buffer, std::size_t count) {
  return std::fread(buffer, 1, count, static_cast<std::FILE*>(handle));
}

bool StdioSeek(void* handle, std::uint32_t position) {
  // A long may be 32 bits wide; a position it cannot hold is a failed seek.
  if constexpr (sizeof(long) <= sizeof(std::uint32_t)) {
    if (position > 0x7FFFFFFFu) return false;
  }
  return std::fseek(static_cast<std::FILE*>(handle),
                    static_cast<long>(position), SEEK_SET) == 0;
}

std::uint32_t StdioTell(void* handle) {
  // ftell's -1 on failure becomes 0xFFFFFFFF, a position no seek reaches.
  return static_cast<std::uint32_t>(
      std::ftell(static_cast<std::FILE*>(handle)));
}

// The version line as atol reads it; a value beyond the 32-bit range is
// never 1, even when it would wrap to it.
bool IsBlobVersionOne(const std::string& line) {
  LeadingInteger version = ReadLeadingInteger(line);
  return version.in_range && version.value == 1;
}

std::string WithoutLineEnd(std::string line) {
  line.pop_back();
  return line;
}

}  // namespace

BlobStream StdioBlobStream(std::FILE* stream) {
  return BlobStream{&StdioRead, &StdioSeek, &StdioTell, stream};
}

bool ParseBlobNumber(const std::string& line, std::uint32_t* value) {
  for (char c : line) {
    if (!((c >= '0' && c <= '9') || c == '\n' || c == '\r')) return false;
  }
  std::size_t i = 0;
  while (i < line.size() && line[i] == '\r') ++i;
  std::uint64_t result = 0;
  for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
    result = result * 10 + static_cast<std::uint64_t>(line[i] - '0');
    if (result > kMaxBlobNumber) return false;
  }
  *value = static_cast<std::uint32_t>(result);
  return true;
}

bool BlobReader::ReadLine(std::size_t limit, std::string* line) {
  line->clear();
  const BlobStream& s = stream_;
  for (;;) {
    char c;
    if (s.read(s.handle, &c, 1) == 0) return false;
    line->push_back(c);
    if (c == '\n') return true;
    if (line->size() >= limit) return false;
  }
}

bool BlobReader::ReadNumber(std::uint32_t* value) {
  std::string line;
  return ReadLine(kNumberLineLimit, &line) && ParseBlobNumber(line, value);
}

bool BlobReader::ReadFileEntry() {
  FileRecord file;
  std::string line;
  std::uint32_t fork_count = 0;
  if (!ReadLine(kMaxBlobTextLine, &line)) return false;
  file.name = WithoutLineEnd(line);
  if (!ReadNumber(&fork_count) || fork_count > kMaxForksPerFile) {
    return false;
  }
  for (std::uint32_t i = 0; i < fork_count; ++i) {
    ForkRecord fork;
    if (!ReadLine(kMaxBlobTextLine, &line)) return false;
    fork.name = WithoutLineEnd(line);
    if (!ReadNumber(&fork.offset) || !ReadNumber(&fork.compressed_size) ||
        !ReadNumber(&fork.uncompressed_size)) {
      return false;
    }
    std::string key = fork.name;
    file.forks.emplace(std::move(key), std::move(fork));  // first one wins
  }
  if (files_.size() >= kMaxBlobFiles) return false;
  std::string key = file.name;
  files_.emplace(std::move(key), std::move(file));
  return true;
}

BlobReader::BlobReader(const BlobStream& stream,
                       const unsigned char* public_key)
    : stream_(stream), public_key_(public_key) {}

bool BlobReader::Open(BlobCheck required_check, bool skip_checks) {
  verdict_ = BlobVerdict::Malformed;
  stream_.seek(stream_.handle, 0);
  std::string line;
  if (!ReadLine(14, &line) || line != "VantoriumBlob\n") return false;
  if (!ReadLine(256, &line) || !IsBlobVersionOne(line)) return false;
  if (!ReadSignatureBlock(required_check, skip_checks)) return false;
  verdict_ = BlobVerdict::Malformed;
  if (!ReadLine(5, &line) || line != "TOC \n") return false;
  for (;;) {
    if (!ReadLine(5, &line)) return false;
    if (line == "DATA\n") {
      data_start_ = stream_.tell(stream_.handle);
      loaded_ = true;
      verdict_ = BlobVerdict::Ok;
      return true;
    }
    if (line != "FILE\n" || !ReadFileEntry()) return false;
  }
}

bool BlobReader::HasFork(const std::string& file_name,
                         const std::string& fork_name) const {
  return FindFork(file_name, fork_name, nullptr);
}

bool BlobReader::FindFork(const std::string& file_name,
                          const std::string& fork_name,
                          ForkRecord* record) const {
  if (!loaded_) return false;
  auto file = files_.find(file_name);
  if (file == files_.end()) return false;
  auto fork = file->second.forks.find(fork_name);
  if (fork == file->second.forks.end()) return false;
  if (record != nullptr) *record = fork->second;
  return true;
}

void BlobReader::EnumerateForks(ForkVisitor visitor, void* context) const {
  for (const auto& [key, file] : files_) {
    std::uint32_t uncompressed = 0;
    std::uint32_t compressed = 0;
    for (const auto& [fork_key, fork] : file.forks) {
      if (!visitor(context, file.name, fork.name.c_str(),
                   fork.uncompressed_size, fork.compressed_size)) {
        return;
      }
      uncompressed += fork.uncompressed_size;  // wraps, as unsigned does
      compressed += fork.compressed_size;
    }
    if (!visitor(context, file.name, nullptr, uncompressed, compressed)) return;
  }
}

}  // namespace brackenfold
