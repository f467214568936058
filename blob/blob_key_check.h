// Validation of a blob signing key's public values. A key is sound when p is a
// 1024-bit prime, q a prime of 21 bytes that divides p - 1, 1 < g < p with
// g^q = 1 (mod p), and 1 < y < p with y^q = 1 (mod p): then g and y both have
// order q, and only the holder of x with y = g^x can sign. A y of small order,
// for instance, would let anyone forge signatures in a few tries.
//
// This unit needs only Crypto++, so that the build can run the same check on
// the public key it embeds (check_public_key.cc), on the build machine even
// when the product is cross-compiled.
#ifndef BRACKENFOLD_BLOB_BLOB_KEY_CHECK_H_
#define BRACKENFOLD_BLOB_BLOB_KEY_CHECK_H_

#include <cryptopp/integer.h>

#include <cstddef>
#include <string>

#include "blob/blob_public_key.h"

namespace brackenfold {

struct BlobKeyValues {
  CryptoPP::Integer p, q, g, y;
};

// The one reading of a public key: size must be kBlobPublicKeySize, the
// bytes the DER SEQUENCE of four INTEGERs p, q, g, y in exactly the 421-byte
// form, and the key sound (BlobKeyProblem). False with *error (optional)
// saying why otherwise.
bool DecodeBlobKeyValues(const unsigned char* der, std::size_t size,
                         BlobKeyValues* key, std::string* error);

// DER SEQUENCE { p, q, g, y }, whatever its length.
std::string EncodeBlobKeyValues(const BlobKeyValues& key);

// Null when the key is sound, else a short text naming the first check that
// failed. Primality is Crypto++'s IsPrime (trial division, a strong probable
// prime test and a strong Lucas test), deterministic and without randomness.
// Takes a few milliseconds: callers that check many signatures keep the
// verdict (see VerifyBlobSignature).
const char* BlobKeyProblem(const BlobKeyValues& key);

}  // namespace brackenfold

#endif  // BRACKENFOLD_BLOB_BLOB_KEY_CHECK_H_
