// bench_inflate BLOB DIR: the part of an installation that no installer can
// skip, done as plainly as zlib allows: inflate the "ALL_MAIN" fork of every
// payload file of BLOB into DIR/NAME, with 256 KiB buffers and no checks
// beyond zlib's own. The table of contents is read with BlobReader (no
// digest, no signature); the data area is read with plain stdio.
// Exit status 0, or 1 with a message on stderr.
#include <zlib.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "blob/blob_reader.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

constexpr std::size_t kBuffer = 256 * 1024;

bool CollectPayload(void* context, const std::string& file_name,
                    const char* fork_name, std::uint32_t, std::uint32_t) {
  if (fork_name == nullptr && file_name.compare(0, 10, "component/") != 0) {
    static_cast<std::vector<std::string>*>(context)->push_back(file_name);
  }
  return true;
}

bool InflateFork(std::FILE* blob, long position, std::FILE* out,
                 std::vector<unsigned char>& in,
                 std::vector<unsigned char>& buffer) {
  if (std::fseek(blob, position, SEEK_SET) != 0) return false;
  z_stream z = {};
  if (inflateInit(&z) != Z_OK) return false;
  int result = Z_OK;
  while (result == Z_OK) {
    if (z.avail_in == 0) {
      z.avail_in = static_cast<uInt>(std::fread(in.data(), 1, in.size(), blob));
      z.next_in = in.data();
      if (z.avail_in == 0) break;
    }
    z.next_out = buffer.data();
    z.avail_out = static_cast<uInt>(buffer.size());
    result = inflate(&z, Z_NO_FLUSH);
    std::size_t produced = buffer.size() - z.avail_out;
    if (produced > 0 &&
        std::fwrite(buffer.data(), 1, produced, out) != produced) {
      result = Z_ERRNO;
    }
  }
  inflateEnd(&z);
  return result == Z_STREAM_END;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_inflate BLOB DIR\n");
    return 2;
  }
  UniqueFile blob(std::fopen(argv[1], "rb"));
  if (!blob) {
    std::fprintf(stderr, "bench_inflate: cannot open %s\n", argv[1]);
    return 1;
  }
  brackenfold::BlobReader reader(brackenfold::StdioBlobStream(blob.get()));
  if (!reader.Open(brackenfold::BlobCheck::None, true)) {
    std::fprintf(stderr, "bench_inflate: %s is not a blob\n", argv[1]);
    return 1;
  }
  // Open leaves the stream right after the "DATA\n" line.
  const long data_start = std::ftell(blob.get());
  std::vector<std::string> names;
  reader.EnumerateForks(CollectPayload, &names);
  std::vector<unsigned char> in(kBuffer), buffer(kBuffer);
  for (const std::string& name : names) {
    brackenfold::ForkRecord fork;
    if (!reader.FindFork(name, brackenfold::kMainFork, &fork)) continue;
    const std::string path = std::string(argv[2]) + "/" + name;
    UniqueFile out(std::fopen(path.c_str(), "wb"));
    if (!out ||
        !InflateFork(blob.get(), data_start + fork.offset, out.get(), in,
                     buffer) ||
        std::fclose(out.release()) != 0) {
      std::fprintf(stderr, "bench_inflate: cannot inflate %s\n", name.c_str());
      return 1;
    }
  }
  return 0;
}
