// Opening a signed blob and extracting all its payload, against the floor of
// the same work done plainly: SHA-1 over the signed bytes and zlib inflate of
// every fork, with nothing else. The blob is made once with the writer and
// signed with the demo key, so that it verifies against the default build.
#include <benchmark/benchmark.h>
#include <cryptopp/sha.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "blob/blob_key.h"
#include "blob/blob_reader.h"
#include "blob/blob_writer.h"

namespace brackenfold {
namespace {

constexpr int kFiles = 8;
constexpr std::size_t kFileSize = 1 << 20;

struct BenchBlob {
  std::string path;
  std::uint64_t payload_bytes = 0;
  std::uint32_t data_start = 0;
  std::vector<ForkRecord> forks;
  std::size_t body_offset = 0;  // where "TOC \n" starts
};

// Half random, half text: roughly what a component's payload compresses like.
std::string PayloadFile(unsigned seed) {
  std::mt19937 engine(seed);
  std::string bytes;
  bytes.reserve(kFileSize);
  while (bytes.size() < kFileSize / 2)
    bytes.push_back(static_cast<char>(engine()));
  while (bytes.size() < kFileSize) {
    bytes += "vertex " + std::to_string(engine() % 1000) + " normal\n";
  }
  bytes.resize(kFileSize);
  return bytes;
}

const BenchBlob& Blob() {
  static const BenchBlob blob = [] {
    BenchBlob made;
    std::string key_text, error;
    BlobKey key;
    if (!ReadWholeFile(BLOB_BENCH_PRIVATE_KEY, &key_text) ||
        !ParseBlobPrivateKey(key_text, &key, &error)) {
      std::fprintf(stderr, "cannot load the demo key: %s\n", error.c_str());
      std::abort();
    }
    BlobWriter writer;
    writer.SetSigningKey(&key);
    writer.AddBytes("component/id", "bench", &error);
    for (int i = 0; i < kFiles; ++i) {
      writer.AddBytes("bin/file" + std::to_string(i), PayloadFile(i), &error);
      made.payload_bytes += kFileSize;
    }
    made.path =
        (std::filesystem::temp_directory_path() / "blob_extract_bench.blob")
            .string();
    if (!writer.WriteToFile(made.path, &error)) {
      std::fprintf(stderr, "cannot write the blob: %s\n", error.c_str());
      std::abort();
    }
    std::FILE* file = std::fopen(made.path.c_str(), "rb");
    BlobReader reader(StdioBlobStream(file));
    if (!reader.Open(BlobCheck::Signature, false)) std::abort();
    for (const auto& [name, record] : reader.GetFiles()) {
      made.forks.push_back(record.forks.at(kMainFork));
    }
    std::fclose(file);
    std::string bytes;
    ReadWholeFile(made.path, &bytes);
    made.body_offset = bytes.find("TOC \nFILE\n");
    made.data_start =
        static_cast<std::uint32_t>(bytes.find("DATA\n", made.body_offset) + 5);
    return made;
  }();
  return blob;
}

bool Discard(void* context, const char*, std::size_t count) {
  *static_cast<std::uint64_t*>(context) += count;
  return true;
}

bool CollectPayload(void* context, const std::string& file, const char* fork,
                    std::uint32_t, std::uint32_t) {
  if (fork == nullptr && file.compare(0, 10, "component/") != 0) {
    static_cast<std::vector<std::string>*>(context)->push_back(file);
  }
  return true;
}

void BM_OpenVerifyAndExtractAll(benchmark::State& state) {
  const BenchBlob& blob = Blob();
  for (auto _ : state) {
    std::FILE* file = std::fopen(blob.path.c_str(), "rb");
    std::uint64_t bytes = 0;
    {
      BlobReader reader(StdioBlobStream(file));
      if (!reader.Open(BlobCheck::Signature, false)) {
        state.SkipWithError("open failed");
      }
      std::vector<std::string> payload;
      reader.EnumerateForks(&CollectPayload, &payload);
      for (const std::string& name : payload) {
        if (!reader.ExtractFork(&Discard, &bytes, name, kMainFork)) {
          state.SkipWithError("extract failed");
        }
      }
    }
    std::fclose(file);
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(
      static_cast<std::int64_t>(state.iterations() * blob.payload_bytes));
}
BENCHMARK(BM_OpenVerifyAndExtractAll)->Unit(benchmark::kMillisecond);

void BM_PlainSha1AndInflate(benchmark::State& state) {
  const BenchBlob& blob = Blob();
  std::vector<unsigned char> in(65536), out(8192);
  for (auto _ : state) {
    std::FILE* file = std::fopen(blob.path.c_str(), "rb");
    std::fseek(file, static_cast<long>(blob.body_offset), SEEK_SET);
    CryptoPP::SHA1 sha;
    std::size_t got;
    while ((got = std::fread(in.data(), 1, in.size(), file)) > 0) {
      sha.Update(in.data(), got);
    }
    unsigned char digest[20];
    sha.Final(digest);
    benchmark::DoNotOptimize(digest);
    std::uint64_t bytes = 0;
    for (const ForkRecord& fork : blob.forks) {
      std::fseek(file, static_cast<long>(blob.data_start + fork.offset),
                 SEEK_SET);
      z_stream z = {};
      inflateInit(&z);
      int result = Z_OK;
      while (result == Z_OK) {
        if (z.avail_in == 0) {
          z.next_in = in.data();
          z.avail_in = static_cast<uInt>(std::fread(in.data(), 1, 8192, file));
        }
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        result = inflate(&z, Z_NO_FLUSH);
        bytes += out.size() - z.avail_out;
      }
      inflateEnd(&z);
    }
    std::fclose(file);
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(
      static_cast<std::int64_t>(state.iterations() * blob.payload_bytes));
}
BENCHMARK(BM_PlainSha1AndInflate)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace brackenfold

BENCHMARK_MAIN();
