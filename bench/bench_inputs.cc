// bench_inputs: makes the inputs of the benchmarks, deterministically.
//   payload DIR BYTES FILES SEED  a flat directory of FILES files summing to
//                                 BYTES: three large ones (16%, 10% and 6% of
//                                 BYTES), the rest log-uniform from a few
//                                 bytes to MiB; a third random, a third text,
//                                 a third structured records
//   blobs DIR COUNT BYTES KEY     COUNT signed blobs, each one component with
//                                 one payload file of BYTES bytes
//   index FILE ENTRIES            a store index of ENTRIES entries, four
//                                 files each
// Exit status 0, or 1 with a message on stderr.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "blob/blob_key.h"
#include "blob/blob_writer.h"
#include "store/index_file.h"

namespace {

using brackenfold::BlobKey;
using brackenfold::BlobWriter;

struct FileCloser {
  void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// splitmix64: fast, and the same bytes on every machine.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double Unit() { return (Next() >> 11) * (1.0 / 9007199254740992.0); }

 private:
  std::uint64_t state_;
};

bool Fail(const std::string& message) {
  std::fprintf(stderr, "bench_inputs: %s\n", message.c_str());
  return false;
}

// Fills buffer with one of three kinds of content.
void FillPiece(int kind, Random& random, std::string& buffer,
               std::size_t count) {
  static const char* const kWords[] = {
      "vantorium", "player", "applet", "scene",   "mesh",    "texture",
      "shader",    "light",  "camera", "frame",   "node",    "the",
      "a",         "of",     "and",    "render",  "vertex",  "normal",
      "material",  "bone",   "index",  "buffer",  "surface", "portal",
      "script",    "event",  "sound",  "channel", "plug-in", "component"};
  constexpr std::size_t kWordCount = sizeof(kWords) / sizeof(kWords[0]);
  buffer.clear();
  if (kind == 0) {  // random: already-compressed media
    buffer.resize(count);
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
      std::uint64_t v = random.Next();
      std::memcpy(&buffer[i], &v, 8);
    }
    for (; i < count; ++i) buffer[i] = static_cast<char>(random.Next());
  } else if (kind == 1) {  // text
    while (buffer.size() < count) {
      std::uint64_t v = random.Next();
      buffer += kWords[v % kWordCount];
      buffer += (v >> 32) % 11 == 0 ? '\n' : ' ';
    }
    buffer.resize(count);
  } else {  // structured records with a few varying fields
    while (buffer.size() < count) {
      std::uint64_t v = random.Next();
      char record[32] = {'V', 'T', 'X', 0};
      std::memcpy(record + 4, &v, 2);
      record[8] = static_cast<char>((v >> 16) & 0x0F);
      std::uint32_t position = static_cast<std::uint32_t>(buffer.size());
      std::memcpy(record + 12, &position, 4);
      buffer.append(record, sizeof(record));
    }
    buffer.resize(count);
  }
}

bool WriteContent(const std::string& path, int kind, std::uint64_t size,
                  Random& random) {
  UniqueFile file(std::fopen(path.c_str(), "wb"));
  if (!file) return Fail("cannot create " + path);
  std::string buffer;
  while (size > 0) {
    std::size_t piece = size > (1u << 20) ? (1u << 20) : size;
    FillPiece(kind, random, buffer, piece);
    if (std::fwrite(buffer.data(), 1, piece, file.get()) != piece) {
      return Fail("cannot write " + path);
    }
    size -= piece;
  }
  return std::fclose(file.release()) == 0 || Fail("cannot close " + path);
}

bool MakePayload(const std::string& dir, std::uint64_t total, int files,
                 std::uint64_t seed) {
  if (files < 4) return Fail("payload needs at least 4 files");
  Random random(seed);
  std::vector<std::uint64_t> sizes = {total * 16 / 100, total * 10 / 100,
                                      total * 6 / 100};
  std::uint64_t large = sizes[0] + sizes[1] + sizes[2];
  std::vector<double> small;
  double small_sum = 0;
  for (int i = 3; i < files; ++i) {
    double size =
        std::exp(std::log(4.0) +
                 random.Unit() * (std::log(4.0 * 1048576.0) - std::log(4.0)));
    small.push_back(size);
    small_sum += size;
  }
  const double scale = static_cast<double>(total - large) / small_sum;
  std::uint64_t placed = large;
  for (double size : small) {
    std::uint64_t s = static_cast<std::uint64_t>(size * scale);
    if (s < 1) s = 1;
    sizes.push_back(s);
    placed += s;
  }
  // The last small file takes up the rounding, so the sum is exact.
  if (placed > total) return Fail("payload too small for its file count");
  sizes.back() += total - placed;

  static const char* const kSuffixes[] = {".dat", ".txt", ".bin", ".dll", ""};
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    int kind = static_cast<int>(i % 3);
    char name[64];
    std::snprintf(name, sizeof(name), "%s%04zu%s",
                  kind == 0   ? "media"
                  : kind == 1 ? "text"
                              : "mesh",
                  i, kSuffixes[i % 5]);
    if (!WriteContent(dir + "/" + name, kind, sizes[i], random)) return false;
  }
  return true;
}

bool MakeBlobs(const std::string& dir, int count, std::size_t bytes,
               const std::string& key_path) {
  std::string key_text, error;
  BlobKey key;
  if (!brackenfold::ReadWholeFile(key_path, &key_text)) {
    return Fail("cannot read " + key_path);
  }
  if (!brackenfold::ParseBlobPrivateKey(key_text, &key, &error)) {
    return Fail(key_path + ": " + error);
  }
  Random random(7);
  std::string content;
  for (int i = 0; i < count; ++i) {
    char id[32], name[32], path[64];
    std::snprintf(id, sizeof(id), "SMALL%05d", i);
    std::snprintf(name, sizeof(name), "small%05d.dat", i);
    std::snprintf(path, sizeof(path), "/small%05d.blob", i);
    FillPiece(i % 3, random, content, bytes);
    BlobWriter writer;
    writer.SetSigningKey(&key);
    bool ok = writer.AddBytes("component/id", id, &error) &&
              writer.AddBytes("component/version", "1", &error) &&
              writer.AddBytes("component/title", id, &error) &&
              writer.AddBytes("component/description", "benchmark", &error) &&
              writer.AddBytes("component/prereq", "", &error) &&
              writer.AddBytes(name, content, &error) &&
              writer.WriteToFile(dir + path, &error);
    if (!ok) return Fail(dir + path + ": " + error);
  }
  return true;
}

bool FileSinkForIndex(void* context, const char* bytes, std::size_t count) {
  return std::fwrite(bytes, 1, count, static_cast<std::FILE*>(context)) ==
         count;
}

bool MakeIndex(const std::string& path, long entries) {
  UniqueFile file(std::fopen(path.c_str(), "wb"));
  if (!file) return Fail("cannot create " + path);
  for (long i = 0; i < entries; ++i) {
    brackenfold::IndexEntry entry;
    char id[32];
    std::snprintf(id, sizeof(id), "COMP%06ld", i);
    entry.id = id;
    entry.version = static_cast<std::int32_t>(1 + i % 7);
    for (const char* file_name :
         {"main.dll", "data.bin", "readme.txt", "scene.vtvm"}) {
      char stored[64];
      std::snprintf(stored, sizeof(stored), "%.*s%08lX%s",
                    static_cast<int>(std::strchr(file_name, '.') - file_name),
                    file_name, 0x3C000000L + i, std::strchr(file_name, '.'));
      entry.files.emplace(file_name, stored);
    }
    if (!brackenfold::WriteIndexEntry(entry, FileSinkForIndex, file.get())) {
      return Fail("cannot write " + path);
    }
  }
  return std::fclose(file.release()) == 0 || Fail("cannot close " + path);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  bool ok = false;
  if (args.size() == 5 && args[0] == "payload") {
    ok = MakePayload(args[1], std::strtoull(args[2].c_str(), nullptr, 10),
                     std::atoi(args[3].c_str()),
                     std::strtoull(args[4].c_str(), nullptr, 10));
  } else if (args.size() == 5 && args[0] == "blobs") {
    ok = MakeBlobs(args[1], std::atoi(args[2].c_str()),
                   std::strtoull(args[3].c_str(), nullptr, 10), args[4]);
  } else if (args.size() == 3 && args[0] == "index") {
    ok = MakeIndex(args[1], std::atol(args[2].c_str()));
  } else {
    std::fprintf(stderr,
                 "usage: bench_inputs payload DIR BYTES FILES SEED\n"
                 "       bench_inputs blobs DIR COUNT BYTES PRIVATE_KEY\n"
                 "       bench_inputs index FILE ENTRIES\n");
    return 2;
  }
  return ok ? 0 : 1;
}
