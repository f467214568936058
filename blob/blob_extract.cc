// ExtractFork: inflates one fork into a sink through two 8192-byte buffers.
#include <zlib.h>

#include <cstdlib>

#include "blob/blob_reader.h"

namespace brackenfold {

namespace {

constexpr std::size_t kPieceSize = 8192;

voidpf AllocateForZlib(voidpf, uInt items, uInt size) {
  std::size_t count = items;
  if (size != 0 && count > static_cast<std::size_t>(-1) / size) return Z_NULL;
  return std::malloc(count * size);
}

void FreeForZlib(voidpf, voidpf address) { std::free(address); }

}  // namespace

bool BlobReader::ExtractFork(ForkSink sink, void* sink_context,
                             const std::string& file_name,
                             const std::string& fork_name) {
  ForkRecord fork;
  if (!FindFork(file_name, fork_name, &fork)) return false;
  stream_.seek(stream_.handle, data_start_ + fork.offset);  // wraps mod 2^32

  z_stream z = {};
  z.zalloc = &AllocateForZlib;
  z.zfree = &FreeForZlib;
  z.opaque = Z_NULL;
  z.next_in = Z_NULL;
  z.avail_in = 0;
  if (inflateInit_(&z, ZLIB_VERSION, static_cast<int>(sizeof(z_stream))) !=
      Z_OK) {
    inflateEnd(&z);
    return false;
  }
  unsigned char input[kPieceSize];
  unsigned char output[kPieceSize];
  int result;
  do {
    if (z.avail_in == 0) {
      z.next_in = input;
      z.avail_in =
          static_cast<uInt>(stream_.read(stream_.handle, input, sizeof(input)));
    }
    z.next_out = output;
    z.avail_out = sizeof(output);
    result = inflate(&z, Z_NO_FLUSH);
    std::size_t produced = sizeof(output) - z.avail_out;
    if (produced > 0 &&
        !sink(sink_context, reinterpret_cast<const char*>(output), produced)) {
      inflateEnd(&z);
      return false;
    }
  } while (result == Z_OK);
  inflateEnd(&z);
  return result == Z_STREAM_END && z.total_in == fork.compressed_size &&
         z.total_out == fork.uncompressed_size;
}

}  // namespace brackenfold
