// BlobReader: reads a component blob through three stream callbacks. Open()
// reads the magic and version lines, checks the signature block, and loads the
// table of contents into memory; afterwards ExtractFork() seeks into the data
// area and inflates one fork into a ForkSink in pieces of at most 8192 bytes.
// The reader never owns or closes the stream, never shows anything, and
// reports every problem as a false result.
#ifndef BRACKENFOLD_BLOB_BLOB_READER_H_
#define BRACKENFOLD_BLOB_BLOB_READER_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "blob/fork_sink.h"

namespace brackenfold {

// Access to the blob's bytes. read answers the number of bytes read (0 at the
// end or on error); seek goes to an absolute position; tell answers it.
struct BlobStream {
  std::size_t (*read)(void* handle, void* buffer, std::size_t count);
  bool (*seek)(void* handle, std::uint32_t position);
  std::uint32_t (*tell)(void* handle);
  void* handle;
};

// fread with element size 1, fseek from the start, ftell over a stdio stream.
BlobStream StdioBlobStream(std::FILE* stream);

// Which signature section Open requires.
enum class BlobCheck : int { None = 0, Digest = 1, Signature = 2 };

struct ForkRecord {
  std::string name;
  std::uint32_t offset = 0;             // from the data start
  std::uint32_t compressed_size = 0;    // bytes of zlib stream
  std::uint32_t uncompressed_size = 0;  // bytes after inflation
};

struct FileRecord {
  std::string name;
  std::map<std::string, ForkRecord> forks;
};

// The fork names the program knows; "ALL_MAIN" is a file's ordinary contents.
extern const char* const ForkNames[4];
inline constexpr const char* kMainFork = "ALL_MAIN";

// Visits (file, fork, sizes) per fork, then (file, null, sums) per file;
// returns false to stop the walk.
using ForkVisitor = bool (*)(void* context, const std::string& file_name,
                             const char* fork_name,
                             std::uint32_t uncompressed_size,
                             std::uint32_t compressed_size);

class BlobReader {
 public:
  explicit BlobReader(const BlobStream& stream);
  BlobReader(const BlobReader&) = delete;
  BlobReader& operator=(const BlobReader&) = delete;

  bool Open(BlobCheck required_check, bool skip_checks);
  bool HasFork(const std::string& file_name,
               const std::string& fork_name) const;
  bool FindFork(const std::string& file_name, const std::string& fork_name,
                ForkRecord* record) const;
  void EnumerateForks(ForkVisitor visitor, void* context) const;
  bool ExtractFork(ForkSink sink, void* sink_context,
                   const std::string& file_name, const std::string& fork_name);

  bool loaded() const { return loaded_; }
  const std::map<std::string, FileRecord>& files() const { return files_; }

 private:
  // Implementation details are the reader's own.
  friend class BlobReaderInternals;
  BlobStream stream_;
  bool loaded_ = false;
  std::map<std::string, FileRecord> files_;
  std::uint32_t data_start_ = 0;
};

}  // namespace brackenfold

#endif  // BRACKENFOLD_BLOB_BLOB_READER_H_
