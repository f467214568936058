// The blob public key built into the program: the 421-byte DER form of
// SEQUENCE { INTEGER p, q, g, y } (header 30 82 01 A1; p takes 129 content
// bytes, q 21, g and y 128 each). Generated at build time from the key chosen
// when configuring, after the build has checked it (check_public_key.cc).
#ifndef BRACKENFOLD_BLOB_BLOB_PUBLIC_KEY_H_
#define BRACKENFOLD_BLOB_BLOB_PUBLIC_KEY_H_

#include <cstddef>

namespace brackenfold {

inline constexpr std::size_t kBlobPublicKeySize = 421;
extern const unsigned char BlobPublicKey[kBlobPublicKeySize];

}  // namespace brackenfold

#endif  // BRACKENFOLD_BLOB_BLOB_PUBLIC_KEY_H_
