// The ElGamal verification of a blob's SHA-1 digest, which the reader's Open
// applies to each "ELGA\n" section. Nothing here throws or prints.
#ifndef BRACKENFOLD_BLOB_BLOB_SIGNATURE_H_
#define BRACKENFOLD_BLOB_BLOB_SIGNATURE_H_

#include <cstddef>

#include "blob/blob_public_key.h"

namespace brackenfold {

inline constexpr std::size_t kBlobDigestSize = 20;
inline constexpr std::size_t kSignatureBufferSize = 512;
inline constexpr std::size_t kKeyBufferSize = 847;

// True when the signature verifies: key is kKeyBufferSize bytes starting with
// the DER key, signature is kSignatureBufferSize bytes holding r then s, each
// as many big-endian bytes as q has. A key that DecodeBlobKeyValues refuses
// (not in the 421-byte form, or not sound) verifies nothing. The verdict on a
// key is kept for the process, so only its first use pays for the primality
// tests.
bool VerifyBlobSignature(const unsigned char* digest, std::size_t digest_length,
                         const unsigned char* signature,
                         const unsigned char* key);

}  // namespace brackenfold

#endif  // BRACKENFOLD_BLOB_BLOB_SIGNATURE_H_
