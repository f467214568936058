#include "blob/blob_key_check.h"

#include <cryptopp/asn.h>
#include <cryptopp/nbtheory.h>
#include <cryptopp/queue.h>

namespace brackenfold {

namespace {

bool DecodeSequence(const unsigned char* der, std::size_t size,
                    BlobKeyValues* key) {
  try {
    CryptoPP::ByteQueue queue;
    queue.Put(der, size);
    CryptoPP::BERSequenceDecoder sequence(queue);
    key->p.BERDecode(sequence);
    key->q.BERDecode(sequence);
    key->g.BERDecode(sequence);
    key->y.BERDecode(sequence);
    sequence.MessageEnd();
    return true;
  } catch (const CryptoPP::Exception&) {
    return false;
  }
}

bool Refuse(std::string* error, const std::string& why) {
  if (error != nullptr) *error = why;
  return false;
}

}  // namespace

bool DecodeBlobKeyValues(const unsigned char* der, std::size_t size,
                         BlobKeyValues* key, std::string* error) {
  if (size != kBlobPublicKeySize) {
    return Refuse(error, "a public key is 421 bytes of DER, this one has " +
                             std::to_string(size));
  }
  BlobKeyValues decoded;
  if (!DecodeSequence(der, size, &decoded)) {
    return Refuse(error, "not a DER SEQUENCE of four INTEGERs");
  }
  // Re-encoding gives back the same bytes only for the 421-byte form.
  if (EncodeBlobKeyValues(decoded) !=
      std::string(reinterpret_cast<const char*>(der), size)) {
    return Refuse(error, "not in the 421-byte form (p, q, g, y)");
  }
  if (const char* problem = BlobKeyProblem(decoded)) {
    return Refuse(error, problem);
  }
  *key = decoded;
  return true;
}

std::string EncodeBlobKeyValues(const BlobKeyValues& key) {
  CryptoPP::ByteQueue queue;
  CryptoPP::DERSequenceEncoder sequence(queue);
  key.p.DEREncode(sequence);
  key.q.DEREncode(sequence);
  key.g.DEREncode(sequence);
  key.y.DEREncode(sequence);
  sequence.MessageEnd();
  std::string der(static_cast<std::size_t>(queue.MaxRetrievable()), '\0');
  queue.Get(reinterpret_cast<unsigned char*>(&der[0]), der.size());
  return der;
}

const char* BlobKeyProblem(const BlobKeyValues& key) {
  using CryptoPP::Integer;
  const Integer& p = key.p;
  const Integer& q = key.q;
  // Cheap checks first; the sizes also bound the work of the rest.
  if (q.ByteCount() != 21 || p.BitCount() != 1024 || q.IsNegative() ||
      p.IsNegative()) {
    return "p must have 1024 bits and q 21 bytes";
  }
  if ((p - 1) % q != 0) return "q does not divide p - 1";
  if (key.g <= 1 || key.g >= p) return "g is out of range";
  if (key.y <= 1 || key.y >= p) return "y is out of range";
  if (!CryptoPP::IsPrime(q)) return "q is not prime";
  if (!CryptoPP::IsPrime(p)) return "p is not prime";
  if (a_exp_b_mod_c(key.g, q, p) != 1) return "g is not of order q";
  if (a_exp_b_mod_c(key.y, q, p) != 1) return "y is not of order q";
  return nullptr;
}

}  // namespace brackenfold
