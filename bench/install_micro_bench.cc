// In-process micro benchmarks of the installation's hot spots:
//   VerifyBlobSignature   one ElGamal check against the built-in key
//   OpenSignedBlob        BlobReader::Open of a small signed blob in memory
//                         (lines, digest, key decode, signature)
//   DigestRemainder       SHA-1 of a blob through 1024-byte reads
//   IndexReadAndReplace   reading a store index of N entries and replacing
//                         it (as every installation does), per entry
// The signing key is the demo key the built-in public key belongs to.
#include <benchmark/benchmark.h>
#include <cryptopp/osrng.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "blob/blob_key.h"
#include "blob/blob_reader.h"
#include "blob/blob_signature.h"
#include "blob/blob_writer.h"
#include "component/component_install.h"
#include "store/index_file.h"

namespace brackenfold {
namespace {

BlobKey DemoKey() {
  std::string text, error;
  BlobKey key;
  if (!ReadWholeFile(BENCH_PRIVATE_KEY, &text) ||
      !ParseBlobPrivateKey(text, &key, &error)) {
    std::fprintf(stderr, "cannot read the demo key %s\n", BENCH_PRIVATE_KEY);
    std::abort();
  }
  return key;
}

// A BlobStream over bytes in memory.
struct MemoryBlob {
  const std::string* bytes;
  std::size_t position = 0;

  static std::size_t Read(void* handle, void* buffer, std::size_t count) {
    auto* m = static_cast<MemoryBlob*>(handle);
    std::size_t left = m->bytes->size() - m->position;
    if (count > left) count = left;
    std::memcpy(buffer, m->bytes->data() + m->position, count);
    m->position += count;
    return count;
  }
  static bool Seek(void* handle, std::uint32_t position) {
    auto* m = static_cast<MemoryBlob*>(handle);
    if (position > m->bytes->size()) return false;
    m->position = position;
    return true;
  }
  static std::uint32_t Tell(void* handle) {
    return static_cast<std::uint32_t>(
        static_cast<MemoryBlob*>(handle)->position);
  }
  BlobStream Stream() { return BlobStream{&Read, &Seek, &Tell, this}; }
};

std::string SignedBlob(std::size_t payload_bytes) {
  static const BlobKey key = DemoKey();
  BlobWriter writer;
  writer.SetSigningKey(&key);
  std::string blob, error;
  std::string payload(payload_bytes, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<char>((i * 2654435761u) >> 13);
  }
  if (!writer.AddBytes("component/id", "MICRO", &error) ||
      !writer.AddBytes("component/version", "1", &error) ||
      !writer.AddBytes("data.bin", payload, &error) ||
      !writer.WriteToString(&blob, &error)) {
    std::fprintf(stderr, "cannot write a blob: %s\n", error.c_str());
    std::abort();
  }
  return blob;
}

void BM_VerifyBlobSignature(benchmark::State& state) {
  const BlobKey key = DemoKey();
  CryptoPP::AutoSeededRandomPool rng;
  std::string digest(kBlobDigestSize, '\0');
  rng.GenerateBlock(reinterpret_cast<unsigned char*>(&digest[0]),
                    digest.size());
  std::vector<unsigned char> signature(kSignatureBufferSize, 0);
  std::string sig = SignBlobDigest(key, digest, rng);
  std::memcpy(signature.data(), sig.data(), sig.size());
  std::vector<unsigned char> key_buffer(kKeyBufferSize, 0);
  std::memcpy(key_buffer.data(), BlobPublicKey, kBlobPublicKeySize);
  const auto* d = reinterpret_cast<const unsigned char*>(digest.data());
  for (auto _ : state) {
    bool valid = VerifyBlobSignature(d, kBlobDigestSize, signature.data(),
                                     key_buffer.data());
    if (!valid) state.SkipWithError("the signature does not verify");
    benchmark::DoNotOptimize(valid);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VerifyBlobSignature)->Unit(benchmark::kMicrosecond);

void BM_OpenSignedBlob(benchmark::State& state) {
  const std::string blob = SignedBlob(4096);
  for (auto _ : state) {
    MemoryBlob memory{&blob};
    BlobReader reader(memory.Stream());
    bool opened = reader.Open(BlobCheck::Signature, false);
    if (!opened) state.SkipWithError("the blob does not open");
    benchmark::DoNotOptimize(opened);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OpenSignedBlob)->Unit(benchmark::kMicrosecond);

void BM_DigestRemainder(benchmark::State& state) {
  const std::string bytes(static_cast<std::size_t>(state.range(0)), 'x');
  for (auto _ : state) {
    MemoryBlob memory{&bytes};
    BlobReader reader(memory.Stream());
    benchmark::DoNotOptimize(reader.DigestRemainder());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_DigestRemainder)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

bool WriteToFile(void* context, const char* bytes, std::size_t count) {
  return std::fwrite(bytes, 1, count, static_cast<std::FILE*>(context)) ==
         count;
}

void BM_IndexReadAndReplace(benchmark::State& state) {
  const long count = static_cast<long>(state.range(0));
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() /
                       ("bf-index-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string index_path = (dir / kIndexFileName).string();
  {
    std::FILE* file = std::fopen(index_path.c_str(), "wb");
    for (long i = 0; i < count; ++i) {
      IndexEntry entry;
      entry.id = "COMP" + std::to_string(i);
      entry.version = 1;
      for (const char* name : {"main.dll", "data.bin", "readme.txt"}) {
        entry.files.emplace(name, name + std::to_string(0x3C000000L + i));
      }
      WriteIndexEntry(entry, WriteToFile, file);
    }
    std::fclose(file);
  }
  for (auto _ : state) {
    std::vector<IndexEntry> entries;
    IndexReader reader;
    if (!reader.Open(FilePath(index_path))) state.SkipWithError("no index");
    IndexEntry entry;
    while (reader.ReadEntry(&entry.id, &entry.version, &entry.files)) {
      entries.push_back(entry);
    }
    reader.Close();
    if (!ReplaceIndexFile(FilePath(index_path), entries)) {
      state.SkipWithError("the index cannot be replaced");
    }
  }
  state.SetComplexityN(count);
  state.counters["per_entry"] =
      benchmark::Counter(static_cast<double>(count),
                         benchmark::Counter::kIsIterationInvariantRate |
                             benchmark::Counter::kInvert);
  fs::remove_all(dir);
}
BENCHMARK(BM_IndexReadAndReplace)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

}  // namespace
}  // namespace brackenfold

BENCHMARK_MAIN();
