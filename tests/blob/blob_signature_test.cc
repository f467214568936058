#include "blob/blob_signature.h"

#include <cpuid.h>
#include <cryptopp/cpu.h>
#include <cryptopp/sha.h>
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "blob/blob_key.h"
#include "blob/blob_key_check.h"
#include "blob/blob_writer.h"
#include "tests/blob/blob_stream_fixture.h"
#include "tests/support/blob_builder.h"

namespace brackenfold {
namespace {

using CryptoPP::Integer;
using Bytes = std::vector<unsigned char>;

bool Verify(const std::string& digest, const Bytes& signature,
            const BlobKeyValues& key) {
  std::string der = EncodeBlobKeyValues(key);
  der.resize(kKeyBufferSize, '\0');
  return VerifyBlobSignature(
      reinterpret_cast<const unsigned char*>(digest.data()), digest.size(),
      signature.data(), reinterpret_cast<const unsigned char*>(der.data()));
}

// A digest and signature that satisfy r = (g^s y^r mod p + m) mod q for any
// key, made without its x: r = 1, 2, ... and s = r + q / 3 until
// m = (r - X) mod q fits in 20 bytes.
void SolveVerification(const BlobKeyValues& key, std::string* digest,
                       Bytes* signature) {
  for (Integer r = 1;; ++r) {
    const Integer s = r + key.q / 3;
    Integer x = a_times_b_mod_c(a_exp_b_mod_c(key.g, s, key.p),
                                a_exp_b_mod_c(key.y, r, key.p), key.p);
    Integer m = (r - x) % key.q;
    if (m.IsNegative()) m += key.q;
    if (m.ByteCount() > 20) continue;
    digest->assign(20, '\0');
    m.Encode(reinterpret_cast<unsigned char*>(&(*digest)[0]), 20);
    signature->assign(kSignatureBufferSize, 0);
    r.Encode(signature->data(), key.q.ByteCount());
    s.Encode(signature->data() + key.q.ByteCount(), key.q.ByteCount());
    return;
  }
}

// The demo key with y replaced by another value of order q: sound, but not
// the key that signed.
BlobKeyValues OtherKey() {
  const BlobKey& demo = DemoBlobKey();
  BlobKeyValues other{demo.p, demo.q, demo.g, demo.y};
  do {
    other.y = a_times_b_mod_c(other.y, other.g, other.p);
  } while (EncodeBlobKeyValues(other).size() != kBlobPublicKeySize);
  return other;
}

TEST(VerifyBlobSignatureTest, AnyFlippedBitOrAnotherKeyFails) {
  const BlobKey& demo = DemoBlobKey();
  const BlobKeyValues key{demo.p, demo.q, demo.g, demo.y};
  std::string digest;
  Bytes signature;
  SolveVerification(key, &digest, &signature);
  EXPECT_TRUE(Verify(digest, signature, key));
  EXPECT_FALSE(Verify(digest, signature, OtherKey()));
  for (std::size_t bit = 0; bit < 42 * 8; ++bit) {
    Bytes flipped = signature;
    flipped[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
    EXPECT_FALSE(Verify(digest, flipped, key)) << "signature bit " << bit;
  }
  EXPECT_FALSE(Verify(CorruptBlob(digest, 19), signature, key));
}

// Each check of a key trips on a weak key of its own, which then verifies
// nothing, not even a signature that satisfies the equation.
TEST(VerifyBlobSignatureTest, WeakKeysVerifyNothing) {
  const BlobKey& demo = DemoBlobKey();
  const BlobKeyValues sound{demo.p, demo.q, demo.g, demo.y};
  auto with = [&](auto change) {
    BlobKeyValues key = sound;
    change(key);
    return key;
  };
  using K = BlobKeyValues;
  const std::pair<const char*, BlobKeyValues> keys[] = {
      {"p must have 1024 bits and q 21 bytes", with([](K& k) { k.p >>= 1; })},
      {"q does not divide p - 1", with([](K& k) { k.q += 2; })},
      {"g is out of range", with([](K& k) { k.g = 1; })},
      {"g is out of range", with([](K& k) { k.g += k.p; })},
      {"y is out of range", with([](K& k) { k.y = 1; })},
      {"y is out of range", with([](K& k) { k.y += k.p; })},
      {"q is not prime", with([](K& k) { k.q *= 2; })},
      {"p is not prime", with([](K& k) { k.p += 2 * k.q; })},
      {"g is not of order q", with([](K& k) { k.g += 1; })},
      {"y is not of order q", with([](K& k) { k.y = k.p - 1; })}};  // order 2
  std::string digest;
  Bytes signature;
  for (const auto& [problem, key] : keys) {
    EXPECT_STREQ(BlobKeyProblem(key), problem);
    SolveVerification(key, &digest, &signature);
    EXPECT_FALSE(Verify(digest, signature, key)) << problem;
  }
}

class SignatureBlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signed_ = BuildSignedBlob(
        {{"component/id", "core"}, {"payload.bin", std::string(300, 'p')}});
    body_ = BlobBody(signed_);
    sha_ = signed_.substr(signed_.find("SHA \n20\n") + 8, 20);
    elga_ = signed_.substr(signed_.find("ELGA\n42\n") + 8, 42);
  }
  static BlobVerdict Check(const std::string& bytes, BlobCheck check,
                           bool skip = false,
                           const unsigned char* key = BlobPublicKey) {
    MemoryBlob blob(bytes);
    BlobReader reader(blob.stream(), key);
    bool opened = reader.Open(check, skip);
    EXPECT_EQ(opened, reader.GetVerdict() == BlobVerdict::Ok);
    return reader.GetVerdict();
  }

  std::string signed_, body_, sha_, elga_;
};

// Whatever is required, every recognised section present must verify over
// every byte after the block.
TEST_F(SignatureBlockTest, RequiredCheckAndEverySectionPresentDecide) {
  using V = BlobVerdict;
  const auto None = BlobCheck::None, Digest = BlobCheck::Digest,
             Signature = BlobCheck::Signature;
  const std::string bad(20, 'x'), changed = CorruptBlob(body_, 0),
                                  longer = body_ + "x";
  using Sections = std::vector<std::pair<std::string, std::string>>;
  const std::tuple<Sections, std::string, BlobCheck, BlobVerdict> cases[] = {
      {{}, body_, None, V::Ok},
      {{{"sha ", bad}, {"ELGA ", bad}}, body_, Digest, V::DigestMissing},
      {{{"ELGA", elga_}, {"SHA ", bad}}, body_, Signature, V::DigestMismatch},
      {{{"SHA ", sha_}, {"ELGA", CorruptBlob(elga_, 40)}},
       body_,
       Digest,
       V::SignatureInvalid},
      {{{"ELGA", elga_ + std::string(470, 'z')}}, body_, Signature, V::Ok},
      {{{"ELGA", elga_}}, changed, None, V::SignatureInvalid},
      {{{"SHA ", sha_}}, longer, None, V::DigestMismatch}};
  int row = 0;
  for (const auto& [sections, body, check, verdict] : cases) {
    EXPECT_EQ(Check(AssembleBlob(sections, body), check), verdict) << ++row;
  }
  // Skipping the checks still reads the block as it is.
  EXPECT_EQ(Check(AssembleBlob({{"SHA ", bad}}, longer), Signature, true),
            V::Ok);
  EXPECT_EQ(Check(AssembleBlob({{"SHA ", ""}}, body_), None, true),
            V::Malformed);
}

// A CPU without the SHA extensions takes Crypto++'s plain code: the blob's
// digest and signature check give the same answers on it.
TEST_F(SignatureBlockTest, Sha1GenericPathDigestsAndChecksBlobs) {
  CryptoPP::DetectX86Features();
  unsigned a = 0, b = 0, c = 0, d = 0;
  const bool cpu_has_sha =
      __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & (1u << 29)) != 0;
  EXPECT_EQ(CryptoPP::SHA1().AlgorithmProvider() == "SHANI", cpu_has_sha);
  const bool saved = CryptoPP::g_hasSHA;
  CryptoPP::g_hasSHA = false;
  EXPECT_NE(CryptoPP::SHA1().AlgorithmProvider(), "SHANI");
  EXPECT_EQ(Check(signed_, BlobCheck::Signature), BlobVerdict::Ok);
  EXPECT_EQ(Check(CorruptBlob(signed_, signed_.size() - 10), BlobCheck::None),
            BlobVerdict::DigestMismatch);
  CryptoPP::g_hasSHA = saved;
}

// RFC 6979 A.2.1 (DSA, 1024 bits), SHA-1 of "sample": the k of the standard.
TEST(BlobKeyTest, SigningKIsRfc6979s) {
  std::string digest(20, '\0');
  Integer("0x8151325DCDBAE9E0FF95F9F9658432DBEDFDB209")
      .Encode(reinterpret_cast<CryptoPP::byte*>(&digest[0]), 20);
  EXPECT_EQ(DeriveSigningK(
                Integer("0x411602CB19A6CCC34494D79D98EF1E7ED5AF25F7"),
                Integer("0x996F967F6C8E388D9E28D01E205FBA957A5698B1"), digest),
            Integer("0x7BDB6B0FF756E1BB5D53583EF979082F9AD5BD5B"));
}

TEST(BlobKeyTest, KeyFilesAreChecked) {
  const std::string good = FormatBlobPrivateKey(DemoBlobKey());
  auto replace_line = [&](char field, const std::string& value) {
    std::string text = good;
    std::size_t at = text.find(std::string("\n") + field + "=") + 3;
    return text.replace(at, text.find('\n', at) - at, value);
  };
  std::string crlf = "# comment\n" + good;  // comments and CR LF ends are fine
  crlf.insert(crlf.find("\nx="), "\r");
  const std::pair<std::string, const char*> cases[] = {
      {crlf, nullptr},
      {"hello\n", "not a Brackenfold private key file"},
      {good.substr(0, good.find("\nx=") + 1), "incomplete"},
      {good + "x=01\n", "bad line"},
      {replace_line('x', "0G"), "bad line"},
      {replace_line('x', "05"), "x does not match y"},
      {replace_line('g', "02"), "g is not of order q"}};
  BlobKey key;
  std::string error;
  for (const auto& [text, message] : cases) {
    EXPECT_EQ(ParseBlobPrivateKey(text, &key, &error), message == nullptr);
    EXPECT_NE(error.find(message ? message : ""), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace brackenfold
