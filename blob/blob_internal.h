// The blob reader's own helpers, shared by its source files and its tests:
// line and number reading through the reader's stream, the signature block
// (with a choice of public key and a verdict for the tools), and the digest of
// the stream's remainder. Nothing here is meant for other subsystems.
#ifndef BRACKENFOLD_BLOB_BLOB_INTERNAL_H_
#define BRACKENFOLD_BLOB_BLOB_INTERNAL_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "blob/blob_reader.h"
#include "blob/blob_signature.h"

namespace brackenfold {

// Bounds that keep a hostile blob from making the reader allocate or loop
// without limit. Every count or length above them is refused.
inline constexpr std::size_t kBlobLineLimit = 2147483647;  // "any length"
inline constexpr std::size_t kMaxBlobTextLine = 65536;     // names, in practice
inline constexpr std::size_t kNumberLineLimit = 256;
inline constexpr std::uint32_t kMaxBlobNumber = 2147483647;
inline constexpr std::uint32_t kMaxSignatureSections = 64;
inline constexpr std::uint32_t kMaxSectionLength = 1 << 20;
inline constexpr std::uint32_t kMaxForksPerFile = 1024;
inline constexpr std::size_t kMaxBlobFiles = 1 << 20;

// Value of a number line: every byte one of "0123456789\r\n"; leading CRs are
// skipped and the digits up to the first CR or LF give the value (0 when there
// are none). False for any other byte or a value above kMaxBlobNumber.
bool ParseBlobNumber(const std::string& line, std::uint32_t* value);

class BlobReaderInternals {
 public:
  // Empties *line, then reads one byte at a time up to and including an LF.
  // False at end of stream or when limit bytes came without an LF.
  static bool ReadLine(BlobReader& reader, std::size_t limit,
                       std::string* line);
  static bool ReadNumber(BlobReader& reader, std::uint32_t* value);

  // Open with a given 421-byte public key; *verdict (optional) says why it
  // failed.
  static bool Open(BlobReader& reader, BlobCheck required_check,
                   bool skip_checks, const unsigned char* public_key,
                   BlobVerdict* verdict);

  // SHA-1 of the stream from its position to its end, as 20 bytes.
  static std::string DigestRemainder(BlobReader& reader);

 private:
  static bool ReadSignatureBlock(BlobReader& reader, BlobCheck required_check,
                                 bool skip_checks,
                                 const unsigned char* public_key,
                                 BlobVerdict* verdict);
  static bool ReadFileEntry(BlobReader& reader);
};

}  // namespace brackenfold

#endif  // BRACKENFOLD_BLOB_BLOB_INTERNAL_H_
