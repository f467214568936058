// The signature check of a component blob: the built-in public key, the
// ElGamal verification of a SHA-1 digest, and CheckBlob, which opens a blob
// against any public key and says which check failed. The reader's Open uses
// the built-in key. Nothing here throws or prints.
#ifndef BRACKENFOLD_BLOB_BLOB_SIGNATURE_H_
#define BRACKENFOLD_BLOB_BLOB_SIGNATURE_H_

#include <cstddef>

#include "blob/blob_public_key.h"
#include "blob/blob_reader.h"

namespace brackenfold {

inline constexpr std::size_t kBlobDigestSize = 20;
inline constexpr std::size_t kSignatureBufferSize = 512;
inline constexpr std::size_t kKeyBufferSize = 847;

// True when the signature verifies: key is kKeyBufferSize bytes starting with
// the DER key, signature is kSignatureBufferSize bytes holding r then s, each
// as many big-endian bytes as q has. A key that does not decode or is not
// sound (BlobKeyProblem) verifies nothing. The verdict on a key is kept for
// the process, so only its first use pays for the primality tests.
bool VerifyBlobSignature(const unsigned char* digest, std::size_t digest_length,
                         const unsigned char* signature,
                         const unsigned char* key);

// Why a blob was refused, or kOk.
enum class BlobVerdict {
  kOk,
  kMalformed,         // a line, number, section or table entry is bad
  kDigestMismatch,    // a "SHA \n" section is not the digest of the rest
  kSignatureInvalid,  // an "ELGA\n" section does not verify
  kDigestMissing,     // the required "SHA \n" section is absent
  kSignatureMissing,  // the required "ELGA\n" section is absent
};
const char* BlobVerdictText(BlobVerdict verdict);

// Opens reader as Open(required_check, false) does, but against public_key
// (kBlobPublicKeySize bytes of DER), and tells why it failed.
BlobVerdict CheckBlob(BlobReader& reader, BlobCheck required_check,
                      const unsigned char* public_key);

}  // namespace brackenfold

#endif  // BRACKENFOLD_BLOB_BLOB_SIGNATURE_H_
