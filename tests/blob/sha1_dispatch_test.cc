// SHA-1 and the blob check on both of Crypto++'s SHA-1 code paths. Crypto++
// picks its SHA-1 code at run time from the CPU flags it detects once: the SHA
// extensions where the CPU has them, plain C++ otherwise. Clearing its SHA
// flag after detection makes any CPU take the plain path, as a CPU without the
// extensions does.
#include <cpuid.h>
#include <cryptopp/cpu.h>
#include <cryptopp/sha.h>
#include <gtest/gtest.h>

#include <string>

#include "blob/blob_signature.h"
#include "tests/blob/blob_stream_fixture.h"
#include "tests/support/blob_builder.h"

namespace brackenfold {
namespace {

// What CPUID leaf 7 says of the SHA extensions, asked directly.
bool CpuHasShaExtensions() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & (1u << 29)) != 0;
}

// Runs with Crypto++'s SHA flag cleared when generic is set; restores it.
class ShaPath {
 public:
  explicit ShaPath(bool generic) {
    CryptoPP::DetectX86Features();
    saved_ = CryptoPP::g_hasSHA;
    if (generic) CryptoPP::g_hasSHA = false;
  }
  ~ShaPath() { CryptoPP::g_hasSHA = saved_; }

 private:
  bool saved_;
};

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

std::string Sha1Hex(const std::string& text) {
  std::string digest(CryptoPP::SHA1::DIGESTSIZE, '\0');
  CryptoPP::SHA1 sha;
  // In odd pieces, so that partial blocks are carried between calls.
  for (std::size_t at = 0; at < text.size(); at += 1000) {
    sha.Update(reinterpret_cast<const unsigned char*>(text.data()) + at,
               text.size() - at < 1000 ? text.size() - at : 1000);
  }
  sha.Final(reinterpret_cast<unsigned char*>(&digest[0]));
  return Hex(digest);
}

BlobVerdict Check(const std::string& bytes) {
  MemoryBlob blob(bytes);
  BlobReader reader(blob.stream());
  reader.Open(BlobCheck::Signature, false);
  return reader.GetVerdict();
}

class Sha1DispatchTest : public ::testing::TestWithParam<bool> {};

TEST_P(Sha1DispatchTest, KnownVectorsAndBlobChecks) {
  const bool generic = GetParam();
  ShaPath path(generic);
  const std::string provider = CryptoPP::SHA1().AlgorithmProvider();
  // The detected path uses the extensions exactly when the CPU has them.
  EXPECT_EQ(provider == "SHANI", !generic && CpuHasShaExtensions()) << provider;

  struct Vector {
    std::string text;
    const char* digest;
  };
  const Vector vectors[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const Vector& v : vectors) {
    EXPECT_EQ(Sha1Hex(v.text), v.digest)
        << provider << ", " << v.text.size() << " bytes";
  }

  // A signed blob passes its digest and signature check; one changed
  // payload byte fails the digest.
  std::string payload(300000, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<char>(i * 2654435761u >> 13);
  }
  const std::string blob = BuildSignedBlob({{"component/id", "core"},
                                            {"component/version", "7"},
                                            {"payload.bin", payload}});
  EXPECT_EQ(Check(blob), BlobVerdict::Ok) << provider;
  EXPECT_EQ(Check(CorruptBlob(blob, blob.size() - 10)),
            BlobVerdict::DigestMismatch)
      << provider;
}

INSTANTIATE_TEST_SUITE_P(Paths, Sha1DispatchTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "Generic" : "Detected";
                         });

}  // namespace
}  // namespace brackenfold
