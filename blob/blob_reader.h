// BlobReader: reads a component blob through three stream callbacks. Open()
// reads the magic and version lines, checks the signature block against the
// reader's public key (the built-in one unless the constructor is given
// another), and loads the table of contents into memory; GetVerdict() says
// why the last Open failed; afterwards ExtractFork() seeks into the data
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
#include <vector>

#include "blob/blob_public_key.h"
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

// Which signature section Open requires. Whatever is required, every
// recognised section present must verify, unless Open is told to skip the
// checks.
enum class BlobCheck : int { None = 0, Digest = 1, Signature = 2 };

// Why Open refused a blob, or Ok.
enum class BlobVerdict {
  Ok,
  Malformed,         // a line, number, section or table entry is bad
  DigestMismatch,    // a "SHA \n" section is not the digest of the rest
  SignatureInvalid,  // an "ELGA\n" section does not verify
  DigestMissing,     // the required "SHA \n" section is absent
  SignatureMissing,  // the required "ELGA\n" section is absent
};
// One line for people, such as "signature: the blob has no signature section".
const char* BlobVerdictText(BlobVerdict verdict);

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
  // public_key: kBlobPublicKeySize bytes of DER, kept by the caller, against
  // which "ELGA\n" sections are verified.
  explicit BlobReader(const BlobStream& stream,
                      const unsigned char* public_key = BlobPublicKey);
  BlobReader(const BlobReader&) = delete;
  BlobReader& operator=(const BlobReader&) = delete;

  // skip_checks reads the signature block without checking anything in it.
  bool Open(BlobCheck required_check, bool skip_checks);
  BlobVerdict GetVerdict() const { return verdict_; }
  bool HasFork(const std::string& file_name,
               const std::string& fork_name) const;
  bool FindFork(const std::string& file_name, const std::string& fork_name,
                ForkRecord* record) const;
  void EnumerateForks(ForkVisitor visitor, void* context) const;
  bool ExtractFork(ForkSink sink, void* sink_context,
                   const std::string& file_name, const std::string& fork_name);
  // SHA-1 of the stream from its position to its end, as 20 bytes.
  std::string DigestRemainder();

  bool IsLoaded() const { return loaded_; }
  const std::map<std::string, FileRecord>& GetFiles() const { return files_; }

 private:
  // Empties *line, then reads one byte at a time up to and including an LF.
  // False at end of stream or when limit bytes came without an LF.
  bool ReadLine(std::size_t limit, std::string* line);
  bool ReadNumber(std::uint32_t* value);
  bool ReadFileEntry();
  // Reads and checks the signature block; sets verdict_ when it fails.
  bool ReadSignatureBlock(BlobCheck required_check, bool skip_checks);
  struct SignatureSection;  // blob_signature.cc
  bool ReadSignatureSections(std::vector<SignatureSection>* sections);
  // Checks the digest and signature sections against the rest of the stream,
  // whose position it keeps; sets verdict_ when they fail required_check.
  bool CheckSignatureSections(const std::vector<SignatureSection>& sections,
                              BlobCheck required_check);

  BlobStream stream_;
  const unsigned char* public_key_;
  BlobVerdict verdict_ = BlobVerdict::Malformed;
  bool loaded_ = false;
  std::map<std::string, FileRecord> files_;
  std::uint32_t data_start_ = 0;
};

}  // namespace brackenfold

#endif  // BRACKENFOLD_BLOB_BLOB_READER_H_
