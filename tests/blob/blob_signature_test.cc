#include "blob/blob_signature.h"

#include <cryptopp/asn.h>
#include <cryptopp/nbtheory.h>
#include <cryptopp/queue.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "blob/blob_key.h"
#include "blob/blob_key_check.h"
#include "tests/blob/blob_stream_fixture.h"
#include "tests/support/blob_builder.h"

namespace brackenfold {
namespace {

#include "tests/blob/signature_vector.inc"

using Sections = std::vector<std::pair<std::string, std::string>>;

std::vector<unsigned char> KeyBuffer(const unsigned char* der) {
  std::vector<unsigned char> key(kKeyBufferSize, 0);
  std::memcpy(key.data(), der, kBlobPublicKeySize);
  return key;
}

std::vector<unsigned char> SignatureBuffer(const std::string& content) {
  std::vector<unsigned char> signature(kSignatureBufferSize, 0);
  std::memcpy(signature.data(), content.data(), content.size());
  return signature;
}

BlobVerdict Check(const std::string& bytes, BlobCheck check,
                  const unsigned char* key = BlobPublicKey) {
  MemoryBlob blob(bytes);
  BlobReader reader(blob.stream(), key);
  reader.Open(check, false);
  return reader.GetVerdict();
}

bool Opens(const std::string& bytes, BlobCheck check, bool skip = false) {
  MemoryBlob blob(bytes);
  BlobReader reader(blob.stream());
  return reader.Open(check, skip);
}

class SignatureBlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signed_ = BuildSignedBlob({{"component/id", "core"},
                               {"component/version", "7"},
                               {"payload.bin", std::string(300, 'p')}});
    body_ = BlobBody(signed_);
    unsigned_ = AssembleBlob({}, body_);
    digest_ = AssembleBlob({{"SHA ", Sha()}}, body_);
  }
  // The sections of the signed blob, taken from its bytes.
  std::string Sha() const {
    return signed_.substr(signed_.find("SHA \n20\n") + 8, 20);
  }
  std::string Elga() const {
    std::size_t at = signed_.find("ELGA\n42\n") + 8;
    return signed_.substr(at, 42);
  }

  std::string signed_, body_, unsigned_, digest_;
};

TEST(VerifyBlobSignatureTest, KnownAnswerVectorVerifies) {
  auto key = KeyBuffer(kVectorKey);
  auto signature = SignatureBuffer(
      std::string(reinterpret_cast<const char*>(kVectorSignature),
                  sizeof(kVectorSignature)));
  EXPECT_TRUE(
      VerifyBlobSignature(kVectorDigest, 20, signature.data(), key.data()));
}

TEST(VerifyBlobSignatureTest, AnyFlippedBitFails) {
  auto key = KeyBuffer(kVectorKey);
  auto signature = SignatureBuffer(
      std::string(reinterpret_cast<const char*>(kVectorSignature),
                  sizeof(kVectorSignature)));
  for (std::size_t bit = 0; bit < 42 * 8; ++bit) {
    auto flipped = signature;
    flipped[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
    EXPECT_FALSE(
        VerifyBlobSignature(kVectorDigest, 20, flipped.data(), key.data()))
        << "signature bit " << bit;
  }
  for (std::size_t bit = 0; bit < 20 * 8; bit += 7) {
    unsigned char digest[20];
    std::memcpy(digest, kVectorDigest, 20);
    digest[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
    EXPECT_FALSE(VerifyBlobSignature(digest, 20, signature.data(), key.data()))
        << "digest bit " << bit;
  }
}

TEST(VerifyBlobSignatureTest, ZeroRAndBadKeysAreRefused) {
  auto key = KeyBuffer(kVectorKey);
  std::string content(reinterpret_cast<const char*>(kVectorSignature), 42);
  std::memset(&content[0], 0, 21);
  auto zero_r = SignatureBuffer(content);
  EXPECT_FALSE(
      VerifyBlobSignature(kVectorDigest, 20, zero_r.data(), key.data()));

  auto good = SignatureBuffer(
      std::string(reinterpret_cast<const char*>(kVectorSignature), 42));
  std::vector<unsigned char> garbage(kKeyBufferSize, 0x41);
  EXPECT_FALSE(
      VerifyBlobSignature(kVectorDigest, 20, good.data(), garbage.data()));
  std::vector<unsigned char> zeros(kKeyBufferSize, 0);
  EXPECT_FALSE(
      VerifyBlobSignature(kVectorDigest, 20, good.data(), zeros.data()));
}

TEST(VerifyBlobSignatureTest, BuiltInKeyIsTheDemoKey) {
  std::string der = EncodeBlobPublicKey(DemoBlobKey());
  ASSERT_EQ(der.size(), kBlobPublicKeySize);
  EXPECT_EQ(std::memcmp(der.data(), BlobPublicKey, kBlobPublicKeySize), 0);
}

// The key buffer for any values, in or out of the 421-byte form.
std::vector<unsigned char> RawKeyBuffer(const BlobKeyValues& key) {
  CryptoPP::ByteQueue queue;
  CryptoPP::DERSequenceEncoder sequence(queue);
  key.p.DEREncode(sequence);
  key.q.DEREncode(sequence);
  key.g.DEREncode(sequence);
  key.y.DEREncode(sequence);
  sequence.MessageEnd();
  std::vector<unsigned char> buffer(kKeyBufferSize, 0);
  queue.Get(buffer.data(), buffer.size());
  return buffer;
}

// A digest and signature that satisfy r = (g^s y^r mod p + m) mod q for the
// given values, whatever they are: try r = s = 1, 2, ... until
// m = (r - X) mod q fits in 20 bytes.
void SolveVerification(const BlobKeyValues& key, std::string* digest,
                       std::vector<unsigned char>* signature) {
  using CryptoPP::Integer;
  for (Integer r = 1;; ++r) {
    const Integer& s = r;
    Integer x = a_times_b_mod_c(a_exp_b_mod_c(key.g, s, key.p),
                                a_exp_b_mod_c(key.y, r, key.p), key.p);
    Integer m = (r - x) % key.q;
    if (m.IsNegative()) m += key.q;
    if (m.ByteCount() > 20) continue;
    digest->assign(20, '\0');
    m.Encode(reinterpret_cast<unsigned char*>(&(*digest)[0]), 20);
    std::size_t q_length = key.q.ByteCount();
    signature->assign(kSignatureBufferSize, 0);
    r.Encode(signature->data(), q_length);
    s.Encode(signature->data() + q_length, q_length);
    return;
  }
}

// p = p1 * p2, both primes of 512 bits with q dividing p1 - 1 and p2 - 1, and
// g of order q modulo both: every check but the primality of p passes.
BlobKeyValues CompositeModulusKey(const BlobKey& demo) {
  using CryptoPP::Integer;
  Integer factors[2], generators[2];
  Integer k = (Integer::Power2(511) * 3 / 2) / (demo.q * 2) + 1;
  for (int i = 0; i < 2; ++i, ++k) {
    while (!CryptoPP::IsPrime(demo.q * 2 * k + 1)) ++k;
    factors[i] = demo.q * 2 * k + 1;
    generators[i] = a_exp_b_mod_c(i + 2, 2 * k, factors[i]);
  }
  BlobKeyValues key;
  key.p = factors[0] * factors[1];
  key.q = demo.q;
  // g = generators[i] modulo factors[i].
  Integer step = (generators[1] - generators[0]) *
                 factors[0].InverseMod(factors[1]) % factors[1];
  if (step.IsNegative()) step += factors[1];
  key.g = generators[0] + factors[0] * step;
  key.y = a_exp_b_mod_c(key.g, 12345, key.p);
  return key;
}

// Every weak key is refused, by the tools' reading of a key file and by the
// signature check, even when a signature satisfies its equation.
TEST(VerifyBlobSignatureTest, WeakKeysVerifyNothing) {
  const BlobKey& demo = DemoBlobKey();
  const BlobKeyValues sound{demo.p, demo.q, demo.g, demo.y};
  auto with = [&](auto change) {
    BlobKeyValues key = sound;
    change(key);
    return key;
  };
  using K = BlobKeyValues;
  const std::vector<std::pair<const char*, BlobKeyValues>> keys = {
      {"y of order 2", with([](K& k) { k.y = k.p - 1; })},
      {"y of order 2q", with([](K& k) { k.y = k.p - k.y; })},
      {"y = 1", with([](K& k) { k.y = 1; })},
      {"y beyond p", with([](K& k) { k.y += k.p; })},
      {"g = 1", with([](K& k) { k.g = 1; })},
      {"g beyond p", with([](K& k) { k.g += k.p; })},
      {"q not prime", with([](K& k) { k.q *= 2; })},
      {"q not dividing p - 1", with([](K& k) { k.q += 2; })},
      {"p not prime", CompositeModulusKey(demo)},
  };
  std::string digest;
  std::vector<unsigned char> signature;
  SolveVerification(sound, &digest, &signature);
  EXPECT_TRUE(
      VerifyBlobSignature(reinterpret_cast<const unsigned char*>(digest.data()),
                          20, signature.data(), RawKeyBuffer(sound).data()));
  for (const auto& [what, key] : keys) {
    EXPECT_NE(BlobKeyProblem(key), nullptr) << what;
    std::vector<unsigned char> buffer = RawKeyBuffer(key);
    BlobKey decoded;
    std::string error;
    EXPECT_FALSE(DecodeBlobPublicKey(
        std::string(buffer.begin(), buffer.begin() + kBlobPublicKeySize),
        &decoded, &error))
        << what;
    SolveVerification(key, &digest, &signature);
    EXPECT_FALSE(VerifyBlobSignature(
        reinterpret_cast<const unsigned char*>(digest.data()), 20,
        signature.data(), buffer.data()))
        << what;
  }
}

// With y of order 2, y^r is 1 for every even r: a signature for a given
// digest comes from any s whose r = (g^s + m) mod q is even, about every
// second try, without the private key.
TEST(VerifyBlobSignatureTest, SmallOrderKeyAllowsNoForgery) {
  using CryptoPP::Integer;
  const BlobKey& demo = DemoBlobKey();
  BlobKeyValues weak{demo.p, demo.q, demo.g, demo.p - 1};
  std::vector<unsigned char> key = RawKeyBuffer(weak);
  const std::string digest(20, '\x5A');
  Integer m(reinterpret_cast<const unsigned char*>(digest.data()), 20);
  int forged = 0;
  for (Integer s = 1; s <= 20; ++s) {
    Integer r = (a_exp_b_mod_c(weak.g, s, weak.p) + m) % weak.q;
    if (r.IsOdd()) continue;
    std::vector<unsigned char> signature(kSignatureBufferSize, 0);
    r.Encode(signature.data(), 21);
    s.Encode(signature.data() + 21, 21);
    ++forged;
    EXPECT_FALSE(VerifyBlobSignature(
        reinterpret_cast<const unsigned char*>(digest.data()), 20,
        signature.data(), key.data()));
  }
  EXPECT_GT(forged, 0);
}

TEST_F(SignatureBlockTest, RequiredCheckDecidesOverMissingSections) {
  EXPECT_TRUE(Opens(unsigned_, BlobCheck::None));
  EXPECT_EQ(Check(unsigned_, BlobCheck::Digest), BlobVerdict::DigestMissing);
  EXPECT_EQ(Check(unsigned_, BlobCheck::Signature),
            BlobVerdict::SignatureMissing);
  EXPECT_TRUE(Opens(digest_, BlobCheck::None));
  EXPECT_TRUE(Opens(digest_, BlobCheck::Digest));
  EXPECT_FALSE(Opens(digest_, BlobCheck::Signature));
  for (BlobCheck check :
       {BlobCheck::None, BlobCheck::Digest, BlobCheck::Signature}) {
    EXPECT_TRUE(Opens(signed_, check));
  }
  // Values outside the enumeration behave as None.
  EXPECT_TRUE(Opens(unsigned_, static_cast<BlobCheck>(7)));
}

TEST_F(SignatureBlockTest, DigestOfWrongLengthFailsUnderEveryCheck) {
  for (std::size_t length : {19u, 21u}) {
    std::string sha = Sha();
    sha.resize(length, '\0');
    std::string blob = AssembleBlob({{"SHA ", sha}, {"ELGA", Elga()}}, body_);
    for (BlobCheck check :
         {BlobCheck::None, BlobCheck::Digest, BlobCheck::Signature}) {
      EXPECT_EQ(Check(blob, check), BlobVerdict::DigestMismatch) << length;
    }
  }
}

TEST_F(SignatureBlockTest, UnrecognisedNamesAreIgnored) {
  std::string bad(20, 'x');
  for (const char* name : {"sha ", "SHA\r", "SHA", "elga", "ELGA "}) {
    std::string blob = AssembleBlob({{name, bad}}, body_);
    EXPECT_TRUE(Opens(blob, BlobCheck::None)) << name;
    EXPECT_FALSE(Opens(blob, BlobCheck::Digest)) << name;
  }
  std::string blob =
      AssembleBlob({{"NOTE", "hello"}, {"ELGA", Elga()}, {"X", "y"}}, body_);
  EXPECT_TRUE(Opens(blob, BlobCheck::Signature));
}

TEST_F(SignatureBlockTest, EveryBodyByteIsCoveredByBothSections) {
  std::string sha_only = AssembleBlob({{"SHA ", Sha()}}, body_);
  std::string elga_only = AssembleBlob({{"ELGA", Elga()}}, body_);
  std::size_t sha_start = BlobBodyOffset(sha_only);
  std::size_t elga_start = BlobBodyOffset(elga_only);
  for (std::size_t i = 0; i < body_.size(); ++i) {
    EXPECT_EQ(Check(CorruptBlob(sha_only, sha_start + i), BlobCheck::None),
              BlobVerdict::DigestMismatch)
        << i;
    EXPECT_EQ(
        Check(CorruptBlob(elga_only, elga_start + i, 0x80), BlobCheck::None),
        BlobVerdict::SignatureInvalid)
        << i;
  }
  // Bytes appended after the last fork count too.
  EXPECT_FALSE(Opens(sha_only + "x", BlobCheck::None));
  EXPECT_FALSE(Opens(elga_only + "x", BlobCheck::None));
}

TEST_F(SignatureBlockTest, ChangedSectionContentFailsOnlyThatSection) {
  std::string sha = Sha(), elga = Elga();
  for (std::size_t i = 0; i < sha.size(); ++i) {
    std::string bad = CorruptBlob(sha, i);
    EXPECT_EQ(Check(AssembleBlob({{"ELGA", elga}, {"SHA ", bad}}, body_),
                    BlobCheck::Signature),
              BlobVerdict::DigestMismatch);
  }
  for (std::size_t i = 0; i < elga.size(); ++i) {
    std::string bad = CorruptBlob(elga, i);
    EXPECT_EQ(Check(AssembleBlob({{"SHA ", sha}, {"ELGA", bad}}, body_),
                    BlobCheck::Digest),
              BlobVerdict::SignatureInvalid)
        << i;
  }
  EXPECT_TRUE(Opens(AssembleBlob({{"SHA ", sha}}, body_), BlobCheck::Digest));
  EXPECT_TRUE(
      Opens(AssembleBlob({{"ELGA", elga}}, body_), BlobCheck::Signature));
  // Several sections of one kind are all checked.
  EXPECT_FALSE(
      Opens(AssembleBlob({{"SHA ", sha}, {"SHA ", CorruptBlob(sha, 3)}}, body_),
            BlobCheck::None));
}

TEST_F(SignatureBlockTest, WrongKeyFails) {
  EXPECT_EQ(Check(signed_, BlobCheck::Signature), BlobVerdict::Ok);
  EXPECT_EQ(Check(signed_, BlobCheck::Signature, kVectorKey),
            BlobVerdict::SignatureInvalid);
}

TEST_F(SignatureBlockTest, SkipChecksOpensWellFormedBlock) {
  std::string blob = AssembleBlob(
      {{"SHA ", std::string(19, 's')}, {"ELGA", std::string(42, 'e')}}, body_);
  EXPECT_FALSE(Opens(blob, BlobCheck::None));
  EXPECT_TRUE(Opens(blob, BlobCheck::Signature, true));
  EXPECT_TRUE(Opens(unsigned_, BlobCheck::Signature, true));
  EXPECT_FALSE(
      Opens(AssembleBlob({{"SHA ", ""}}, body_), BlobCheck::None, true));
}

TEST_F(SignatureBlockTest, ShortSignatureIsZeroPaddedAndLongOneCut) {
  // Find a signature that ends in a zero byte, then leave that byte out.
  std::string signature;
  for (int k = 2; k < 5000; ++k) {
    ASSERT_TRUE(SignBlobDigestWithK(DemoBlobKey(), Sha(), CryptoPP::Integer(k),
                                    &signature));
    if (signature.back() == '\0') break;
  }
  ASSERT_EQ(signature.back(), '\0');
  signature.pop_back();
  EXPECT_TRUE(
      Opens(AssembleBlob({{"ELGA", signature}}, body_), BlobCheck::Signature));
  std::string padded = Elga() + std::string(470, 'z');  // 512 bytes in all
  EXPECT_TRUE(
      Opens(AssembleBlob({{"ELGA", padded}}, body_), BlobCheck::Signature));
}

TEST_F(SignatureBlockTest, StreamStandsAtTableAfterTheBlock) {
  MemoryBlob blob(signed_);
  BlobReader reader(blob.stream());
  ASSERT_TRUE(reader.Open(BlobCheck::Signature, false));
  std::string id;
  TextSinkContext text{&id};
  ASSERT_TRUE(reader.ExtractFork(&TextSink, &text, "component/id", kMainFork));
  EXPECT_EQ(id, "core");
}

}  // namespace
}  // namespace brackenfold
