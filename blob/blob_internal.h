// The blob reader's own limits and number-line reading, shared by its source
// files and its tests. Nothing here is meant for other subsystems.
#ifndef BRACKENFOLD_BLOB_BLOB_INTERNAL_H_
#define BRACKENFOLD_BLOB_BLOB_INTERNAL_H_

#include <cstddef>
#include <cstdint>
#include <string>

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

}  // namespace brackenfold

#endif  // BRACKENFOLD_BLOB_BLOB_INTERNAL_H_
