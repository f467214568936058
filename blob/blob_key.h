// Blob signing keys: a prime p of 1024 bits, a prime q of 164 bits dividing
// p - 1, g of order q modulo p, the private x and the public y = g^x mod p.
// This unit generates keys, writes and reads the 421-byte DER public key and
// the private key file (text, see docs/blob-format.md), and signs a SHA-1
// digest so that VerifyBlobSignature accepts it. Failures are false results
// with a message; nothing throws out of here.
#ifndef BRACKENFOLD_BLOB_BLOB_KEY_H_
#define BRACKENFOLD_BLOB_BLOB_KEY_H_

#include <cryptopp/integer.h>
#include <cryptopp/rng.h>

#include <string>

namespace brackenfold {

struct BlobKey {
  CryptoPP::Integer p, q, g, y;
  CryptoPP::Integer x;  // zero in a public key
};

// A fresh key whose public DER form is exactly 421 bytes.
bool GenerateBlobKey(CryptoPP::RandomNumberGenerator& rng, BlobKey* key);

// DER SEQUENCE { p, q, g, y }; empty when the key does not take the 421-byte
// form (p of 129 content bytes, q of 21, g and y of 128).
std::string EncodeBlobPublicKey(const BlobKey& key);
// Reads a public key in that form and checks it fully (BlobKeyProblem); x
// stays zero.
bool DecodeBlobPublicKey(const std::string& der, BlobKey* key,
                         std::string* error);

// The private key file: a marker line and p, q, g, y, x in hexadecimal.
std::string FormatBlobPrivateKey(const BlobKey& key);
// Reads and checks it (the public values as BlobKeyProblem does, 0 < x < q,
// y = g^x mod p, and the public form is 421 bytes).
bool ParseBlobPrivateKey(const std::string& text, BlobKey* key,
                         std::string* error);

// r then s, each as many big-endian bytes as q has: k random in [1, q-1],
// r = ((g^k mod p) + m) mod q (retried while 0), s = (k - x*r) mod q, where m
// is the digest as a big-endian number.
std::string SignBlobDigest(const BlobKey& key, const std::string& digest,
                           CryptoPP::RandomNumberGenerator& rng);
// The same with a given k; false when it gives r = 0 or k is out of range.
bool SignBlobDigestWithK(const BlobKey& key, const std::string& digest,
                         const CryptoPP::Integer& k, std::string* signature);

// Whole file contents; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string* contents);

}  // namespace brackenfold

#endif  // BRACKENFOLD_BLOB_BLOB_KEY_H_
