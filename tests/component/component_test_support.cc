#include "tests/component/component_test_support.h"

#include <cryptopp/osrng.h>
#include <cryptopp/sha.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/env.h"

namespace brackenfold {
namespace {

// A build path as the system's loader takes it: under Wine a POSIX path is
// reached through the drive that maps "/".
std::string LoaderPath(const std::string& path) {
  if (kPathSeparator == '\\' && !path.empty() && path[0] == '/') {
    return "Z:" + path;
  }
  return path;
}

}  // namespace

ScratchDirectory::ScratchDirectory() {
  static int counter = 0;
  std::error_code error;
  std::filesystem::path base = std::filesystem::temp_directory_path(error);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::filesystem::path candidate =
        base / ("bfcomp-" + std::to_string(CurrentEnv().TickCount()) + "-" +
                std::to_string(++counter));
    if (std::filesystem::create_directory(candidate, error)) {
      path_ = candidate.string();
      if (path_.back() != kPathSeparator) path_ += kPathSeparator;
      return;
    }
  }
  ADD_FAILURE() << "cannot make a scratch directory";
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code error;
  if (!path_.empty()) std::filesystem::remove_all(path_, error);
}

std::string FileBytes(const std::string& path) {
  std::string bytes;
  return ReadWholeFile(path, &bytes) ? bytes : std::string();
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
}

bool PathExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

RawFork GoodFork(const std::string& file_name, const std::string& contents) {
  return RawFork{file_name, ZlibCompress(contents),
                 static_cast<std::uint32_t>(contents.size())};
}

std::string BuildSignedRawBlob(const std::vector<RawFork>& forks) {
  std::string toc = "TOC \n", data;
  for (const RawFork& fork : forks) {
    toc += "FILE\n" + fork.file_name + "\n1\nALL_MAIN\n" +
           std::to_string(data.size()) + "\n" +
           std::to_string(fork.data.size()) + "\n" +
           std::to_string(fork.uncompressed_size) + "\n";
    data += fork.data;
  }
  std::string body = toc + "DATA\n" + data;
  std::string digest(CryptoPP::SHA1::DIGESTSIZE, '\0');
  CryptoPP::SHA1().CalculateDigest(
      reinterpret_cast<CryptoPP::byte*>(&digest[0]),
      reinterpret_cast<const CryptoPP::byte*>(body.data()), body.size());
  CryptoPP::AutoSeededRandomPool rng;
  std::string signature = SignBlobDigest(DemoBlobKey(), digest, rng);
  return AssembleBlob({{"SHA ", digest}, {"ELGA", signature}}, body);
}

std::string InitRecorderPath() { return LoaderPath(BF_INIT_RECORDER); }

std::string IndexText(const std::vector<IndexEntry>& entries) {
  std::string text;
  auto append = [](void* context, const char* bytes, std::size_t count) {
    static_cast<std::string*>(context)->append(bytes, count);
    return true;
  };
  for (const IndexEntry& entry : entries) WriteIndexEntry(entry, append, &text);
  return text;
}

std::string ComponentTest::WriteBlob(const std::string& name,
                                     const BlobFiles& files) {
  std::string path = scratch_.Join(name);
  EXPECT_TRUE(WriteSignedBlob(path, files)) << path;
  return path;
}

}  // namespace brackenfold
