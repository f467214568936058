#include "blob/blob_writer.h"

#include <cryptopp/osrng.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "blob/blob_key.h"
#include "blob/blob_reader.h"
#include "blob/blob_signature.h"
#include "tests/support/blob_builder.h"

namespace brackenfold {
namespace {

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + name;
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
}

bool Exists(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file != nullptr) std::fclose(file);
  return file != nullptr;
}

TEST(BlobWriterTest, WritesFilesFromDiskAndVerifies) {
  std::string source = TempPath("writer_source.bin");
  std::string contents;
  for (int i = 0; i < 200000; ++i) contents += static_cast<char>(i * 7 % 251);
  ASSERT_TRUE(WriteBytes(source, contents));
  std::string empty_source = TempPath("writer_empty.bin");
  ASSERT_TRUE(WriteBytes(empty_source, ""));

  BlobWriter writer;
  std::string error;
  ASSERT_TRUE(writer.AddFile("bin/big.bin", source, &error));
  ASSERT_TRUE(writer.AddFile("bin/empty.bin", empty_source, &error));
  ASSERT_TRUE(writer.AddBytes("component/id", "x", &error));
  writer.SetSigningKey(&DemoBlobKey());
  std::vector<std::uint64_t> progress;
  writer.SetProgress([&](std::uint64_t done, std::uint64_t total) {
    EXPECT_EQ(total, contents.size() + 1);
    progress.push_back(done);
  });
  std::string out = TempPath("writer_out.blob");
  ASSERT_TRUE(writer.WriteToFile(out, &error)) << error;
  EXPECT_FALSE(Exists(out + ".spool~"));
  EXPECT_FALSE(Exists(out + ".part~"));
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), contents.size() + 1);

  std::FILE* file = std::fopen(out.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  {
    BlobReader reader(StdioBlobStream(file));
    ASSERT_TRUE(reader.Open(BlobCheck::Signature, false));
    ASSERT_TRUE(reader.Open(BlobCheck::Digest, false));
    std::string got;
    TextSinkContext text{&got};
    ASSERT_TRUE(reader.ExtractFork(&TextSink, &text, "bin/big.bin", kMainFork));
    EXPECT_EQ(got, contents);
    ForkRecord record;
    ASSERT_TRUE(reader.FindFork("bin/empty.bin", kMainFork, &record));
    EXPECT_EQ(record.uncompressed_size, 0u);
  }
  std::fclose(file);
  for (const auto& p : {source, empty_source, out}) std::remove(p.c_str());
}

TEST(BlobWriterTest, SameInputsGiveTheSameBlob) {
  BlobFiles files = {{"b", "2"}, {"a", "1"}};
  std::string first = BuildUnsignedBlob(files);
  std::string second = BuildUnsignedBlob({{"a", "1"}, {"b", "2"}});
  EXPECT_EQ(first, second);  // files go in by name, not by the order given
  EXPECT_EQ(BuildSignedBlob(files), BuildSignedBlob({{"a", "1"}, {"b", "2"}}));
  EXPECT_EQ(BlobBody(BuildSignedBlob(files)), BlobBody(first));
}

// RFC 6979 A.2.1 (DSA, 1024 bits), SHA-1 of "sample": the k of the standard,
// so the derivation is RFC 6979's and not merely some fixed function.
TEST(BlobWriterTest, SigningKIsRfc6979s) {
  CryptoPP::Integer q("0x996F967F6C8E388D9E28D01E205FBA957A5698B1");
  CryptoPP::Integer x("0x411602CB19A6CCC34494D79D98EF1E7ED5AF25F7");
  const unsigned char sample_sha1[] = {0x81, 0x51, 0x32, 0x5D, 0xCD, 0xBA, 0xE9,
                                       0xE0, 0xFF, 0x95, 0xF9, 0xF9, 0x65, 0x84,
                                       0x32, 0xDB, 0xED, 0xFD, 0xB2, 0x09};
  std::string digest(reinterpret_cast<const char*>(sample_sha1), 20);
  EXPECT_EQ(DeriveSigningK(x, q, digest),
            CryptoPP::Integer("0x7BDB6B0FF756E1BB5D53583EF979082F9AD5BD5B"));
  // With the blob key's 164-bit q the result stays in [1, q-1] and signs.
  const BlobKey& key = DemoBlobKey();
  CryptoPP::Integer k = DeriveSigningK(key.x, key.q, digest);
  EXPECT_TRUE(k > 0 && k < key.q);
  EXPECT_NE(k, DeriveSigningK(key.x, key.q, std::string(20, '\0')));
}

TEST(BlobWriterTest, RefusesBadNamesAndDuplicates) {
  BlobWriter writer;
  std::string error;
  EXPECT_FALSE(writer.AddBytes("", "x", &error));
  EXPECT_FALSE(writer.AddBytes("a\nb", "x", &error));
  EXPECT_FALSE(writer.AddBytesFork("a", "", "x", &error));
  EXPECT_TRUE(writer.AddBytes("a", "x", &error));
  EXPECT_FALSE(writer.AddBytes("a", "y", &error));
  EXPECT_NE(error.find("\"a\""), std::string::npos);
  EXPECT_TRUE(writer.AddBytesFork("a", "MACOS_FINDER", "y", &error));
}

TEST(BlobWriterTest, MissingSourceLeavesNoBlob) {
  BlobWriter writer;
  std::string error;
  ASSERT_TRUE(writer.AddFile("a", TempPath("no_such_source"), &error));
  std::string out = TempPath("writer_failed.blob");
  EXPECT_FALSE(writer.WriteToFile(out, &error));
  EXPECT_NE(error.find("no_such_source"), std::string::npos);
  EXPECT_FALSE(Exists(out));
  EXPECT_FALSE(Exists(out + ".part~"));
  EXPECT_FALSE(Exists(out + ".spool~"));
}

TEST(BlobKeyTest, GeneratedKeyTakesThe421ByteFormAndSigns) {
  CryptoPP::AutoSeededRandomPool rng;
  BlobKey key;
  ASSERT_TRUE(GenerateBlobKey(rng, &key));
  EXPECT_EQ(key.p.BitCount(), 1024u);
  EXPECT_EQ(key.q.BitCount(), 164u);
  std::string der = EncodeBlobPublicKey(key);
  ASSERT_EQ(der.size(), 421u);
  EXPECT_EQ(der.substr(0, 4), std::string("\x30\x82\x01\xA1", 4));

  BlobKey parsed;
  std::string error;
  ASSERT_TRUE(ParseBlobPrivateKey(FormatBlobPrivateKey(key), &parsed, &error))
      << error;
  EXPECT_EQ(parsed.x, key.x);
  BlobKey public_key;
  ASSERT_TRUE(DecodeBlobPublicKey(der, &public_key, &error)) << error;
  EXPECT_EQ(public_key.y, key.y);
  EXPECT_TRUE(public_key.x.IsZero());

  std::string digest(20, '\x5A');
  std::string signature = SignBlobDigest(key, digest, rng);
  ASSERT_EQ(signature.size(), 42u);
  std::vector<unsigned char> key_buffer(kKeyBufferSize, 0);
  std::copy(der.begin(), der.end(), key_buffer.begin());
  std::vector<unsigned char> signature_buffer(kSignatureBufferSize, 0);
  std::copy(signature.begin(), signature.end(), signature_buffer.begin());
  EXPECT_TRUE(
      VerifyBlobSignature(reinterpret_cast<const unsigned char*>(digest.data()),
                          20, signature_buffer.data(), key_buffer.data()));
}

TEST(BlobKeyTest, PrivateKeyFileIsChecked) {
  std::string good = FormatBlobPrivateKey(DemoBlobKey());
  BlobKey key;
  std::string error;
  EXPECT_TRUE(ParseBlobPrivateKey(good, &key, &error));

  auto replace_line = [&](char field, const std::string& value) {
    std::string text = good;
    std::size_t at = text.find(std::string("\n") + field + "=") + 3;
    text.replace(at, text.find('\n', at) - at, value);
    return text;
  };
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"", "not a Brackenfold private key file"},
      {"hello\n", "not a Brackenfold private key file"},
      {good.substr(0, good.find("\nx=") + 1), "incomplete"},
      {good + "x=01\n", "bad line"},
      {replace_line('x', "0G"), "bad line"},
      {replace_line('x', "05"), "x does not match y"},
      {replace_line('g', "02"), "g is not of order q"},
      {replace_line('q', "0B"), "p must have 1024 bits"},
  };
  for (const auto& [text, message] : bad) {
    EXPECT_FALSE(ParseBlobPrivateKey(text, &key, &error)) << message;
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
  // CR LF line ends and comments are fine.
  std::string crlf;
  for (char c : good) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  EXPECT_TRUE(ParseBlobPrivateKey("# comment\n" + crlf, &key, &error)) << error;
}

TEST(BlobKeyTest, PublicKeyFileIsChecked) {
  std::string der = EncodeBlobPublicKey(DemoBlobKey());
  BlobKey key;
  std::string error;
  EXPECT_TRUE(DecodeBlobPublicKey(der, &key, &error));
  EXPECT_FALSE(DecodeBlobPublicKey(der.substr(1), &key, &error));
  EXPECT_NE(error.find("421"), std::string::npos);
  EXPECT_FALSE(DecodeBlobPublicKey(std::string(421, '\0'), &key, &error));
  std::string tampered = der;
  tampered[420] ^= 1;  // y changes: no longer of order q
  EXPECT_FALSE(DecodeBlobPublicKey(tampered, &key, &error));
  EXPECT_EQ(error, "y is not of order q");
  tampered = der;
  tampered[150] ^= 1;  // q changes: no longer divides p - 1
  EXPECT_FALSE(DecodeBlobPublicKey(tampered, &key, &error));
}

}  // namespace
}  // namespace brackenfold
