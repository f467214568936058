#include "blob/blob_signature.h"

#include <cryptopp/integer.h>
#include <cryptopp/modarith.h>
#include <cryptopp/sha.h>

#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "blob/blob_internal.h"
#include "blob/blob_key_check.h"
#include "blob/blob_reader.h"

namespace brackenfold {

struct BlobReader::SignatureSection {
  std::string name;     // with its LF
  std::string content;  // exactly the announced length
};

namespace {

// Reads count content bytes in pieces, so that an announced length is never
// allocated before its bytes have arrived.
bool ReadContent(const BlobStream& s, std::uint32_t count,
                 std::string* content) {
  content->clear();
  char piece[8192];
  while (content->size() < count) {
    std::size_t want = count - content->size();
    if (want > sizeof(piece)) want = sizeof(piece);
    std::size_t got = s.read(s.handle, piece, want);
    if (got == 0) return false;
    content->append(piece, got);
  }
  return true;
}

// A key buffer with its decoded values and the verdict of BlobKeyProblem.
struct CheckedKey {
  std::vector<unsigned char> buffer;  // kKeyBufferSize bytes
  bool sound = false;
  BlobKeyValues values;
};

// The last few keys seen, so that the primality tests run once per key and
// process rather than once per signature.
class CheckedKeyCache {
 public:
  std::shared_ptr<const CheckedKey> Find(const unsigned char* key) {
    std::lock_guard<std::mutex> hold(mutex_);
    for (const auto& entry : entries_) {
      if (entry &&
          std::memcmp(entry->buffer.data(), key, kKeyBufferSize) == 0) {
        return entry;
      }
    }
    return nullptr;
  }
  void Add(std::shared_ptr<const CheckedKey> entry) {
    std::lock_guard<std::mutex> hold(mutex_);
    entries_[next_] = std::move(entry);
    next_ = (next_ + 1) % entries_.size();
  }

 private:
  std::mutex mutex_;
  std::array<std::shared_ptr<const CheckedKey>, 4> entries_;
  std::size_t next_ = 0;
};

std::shared_ptr<const CheckedKey> CheckKey(const unsigned char* key) {
  static CheckedKeyCache cache;
  std::shared_ptr<const CheckedKey> found = cache.Find(key);
  if (found) return found;
  auto checked = std::make_shared<CheckedKey>();
  checked->buffer.assign(key, key + kKeyBufferSize);
  // The key is the buffer's first kBlobPublicKeySize bytes.
  checked->sound =
      DecodeBlobKeyValues(key, kBlobPublicKeySize, &checked->values, nullptr);
  cache.Add(checked);
  return checked;
}

// An "ELGA\n" section's content (at most kSignatureBufferSize bytes) checked
// against the digest, both in the zero-filled buffers VerifyBlobSignature
// takes.
bool SectionVerifies(const std::string& digest, const std::string& content,
                     const unsigned char* public_key) {
  std::vector<unsigned char> key(kKeyBufferSize, 0);
  std::memcpy(key.data(), public_key, kBlobPublicKeySize);
  std::vector<unsigned char> signature(kSignatureBufferSize, 0);
  std::memcpy(signature.data(), content.data(), content.size());
  return VerifyBlobSignature(
      reinterpret_cast<const unsigned char*>(digest.data()), kBlobDigestSize,
      signature.data(), key.data());
}

}  // namespace

bool VerifyBlobSignature(const unsigned char* digest, std::size_t digest_length,
                         const unsigned char* signature,
                         const unsigned char* key) {
  std::shared_ptr<const CheckedKey> checked = CheckKey(key);
  if (!checked->sound) return false;
  const BlobKeyValues& k = checked->values;
  std::size_t q_length = k.q.ByteCount();  // 21: the key is sound
  try {
    CryptoPP::Integer m(digest, digest_length);
    CryptoPP::Integer r(signature, q_length);
    CryptoPP::Integer s(signature + q_length, q_length);
    if (r.IsZero()) return false;
    // g^s * y^r mod p as one simultaneous exponentiation (in Montgomery
    // form, p being odd): about half the work of two separate ones.
    CryptoPP::Integer x =
        CryptoPP::ModularArithmetic(k.p).CascadeExponentiate(k.g, s, k.y, r);
    return r == (x + m) % k.q;
  } catch (const CryptoPP::Exception&) {
    return false;
  }
}

std::string BlobReader::DigestRemainder() {
  const BlobStream& s = stream_;
  CryptoPP::SHA1 sha;
  unsigned char buffer[1024];
  for (;;) {
    std::size_t got = s.read(s.handle, buffer, sizeof(buffer));
    if (got != 0) sha.Update(buffer, got);
    if (got < sizeof(buffer)) break;
  }
  unsigned char digest[kBlobDigestSize];
  sha.Final(digest);
  return std::string(reinterpret_cast<const char*>(digest), sizeof(digest));
}

bool BlobReader::ReadSignatureBlock(BlobCheck required_check,
                                    bool skip_checks) {
  verdict_ = BlobVerdict::Malformed;
  std::vector<SignatureSection> sections;
  if (!ReadSignatureSections(&sections)) return false;
  verdict_ = BlobVerdict::Ok;
  if (skip_checks) return true;
  return CheckSignatureSections(sections, required_check);
}

bool BlobReader::ReadSignatureSections(
    std::vector<SignatureSection>* sections) {
  std::uint32_t count = 0;
  if (!ReadNumber(&count) || count > kMaxSignatureSections) {
    return false;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    SignatureSection section;
    std::uint32_t length = 0;
    if (!ReadLine(kMaxBlobTextLine, &section.name) || !ReadNumber(&length)) {
      return false;
    }
    // An empty content, like a missing one, fails the section.
    if (length == 0 || length > kMaxSectionLength) return false;
    if (section.name == "ELGA\n" && length > kSignatureBufferSize) {
      return false;
    }
    if (!ReadContent(stream_, length, &section.content)) return false;
    sections->push_back(std::move(section));
  }
  return true;
}

bool BlobReader::CheckSignatureSections(
    const std::vector<SignatureSection>& sections, BlobCheck required_check) {
  const BlobStream& s = stream_;
  std::uint32_t position = s.tell(s.handle);
  std::string digest;
  bool digest_matched = false;
  bool signature_valid = false;
  for (const SignatureSection& section : sections) {
    s.seek(s.handle, position);
    bool is_digest = section.name == "SHA \n";
    bool is_signature = section.name == "ELGA\n";
    if (!is_digest && !is_signature) continue;
    if (digest.empty()) digest = DigestRemainder();
    if (is_digest) {
      if (section.content != digest) {
        verdict_ = BlobVerdict::DigestMismatch;
        return false;
      }
      digest_matched = true;
    } else {
      if (!SectionVerifies(digest, section.content, public_key_)) {
        verdict_ = BlobVerdict::SignatureInvalid;
        return false;
      }
      signature_valid = true;
    }
  }
  s.seek(s.handle, position);
  if (required_check == BlobCheck::Digest && !digest_matched) {
    verdict_ = BlobVerdict::DigestMissing;
    return false;
  }
  if (required_check == BlobCheck::Signature && !signature_valid) {
    verdict_ = BlobVerdict::SignatureMissing;
    return false;
  }
  return true;
}

const char* BlobVerdictText(BlobVerdict verdict) {
  switch (verdict) {
    case BlobVerdict::Ok:
      return "ok";
    case BlobVerdict::Malformed:
      return "format: the blob is malformed";
    case BlobVerdict::DigestMismatch:
      return "digest: the SHA-1 digest does not match the blob's contents";
    case BlobVerdict::SignatureInvalid:
      return "signature: the signature does not verify with the public key";
    case BlobVerdict::DigestMissing:
      return "digest: the blob has no digest section";
    case BlobVerdict::SignatureMissing:
      return "signature: the blob has no signature section";
  }
  return "unknown";
}

}  // namespace brackenfold
