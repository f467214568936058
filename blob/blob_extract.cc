// ExtractFork: inflates one fork into a sink through two 8192-byte buffers.
//
// The recorded sizes are limits: inflate is never offered more input than the
// fork's compressed size nor more output room than what is left of its
// uncompressed size, so a stream that would run past either fails as soon as
// it reaches the limit, and the sink never receives more than the recorded
// number of bytes. Both are counted here in 64 bits; z_stream's totals are
// uLong, 32 bits on Windows, and are not used.
#include <zlib.h>

#include <cstdint>
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

std::size_t AtMostPiece(std::uint64_t left) {
  return left < kPieceSize ? static_cast<std::size_t>(left) : kPieceSize;
}

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
  std::uint64_t input_left = fork.compressed_size;  // not yet read
  std::uint64_t output_left = fork.uncompressed_size;
  int result;
  do {
    if (z.avail_in == 0 && input_left > 0) {
      std::size_t got =
          stream_.read(stream_.handle, input, AtMostPiece(input_left));
      if (got > input_left) got = static_cast<std::size_t>(input_left);
      z.next_in = input;
      z.avail_in = static_cast<uInt>(got);
      input_left -= got;
    }
    // With no room left, inflate still reads what produces no output (the
    // end of the last block and the Adler-32 trailer) and stops at the first
    // byte that would pass the recorded size.
    std::size_t room = AtMostPiece(output_left);
    z.next_out = output;
    z.avail_out = static_cast<uInt>(room);
    result = inflate(&z, Z_NO_FLUSH);
    std::size_t produced = room - z.avail_out;
    output_left -= produced;
    if (produced > 0 &&
        !sink(sink_context, reinterpret_cast<const char*>(output), produced)) {
      inflateEnd(&z);
      return false;
    }
    // Z_OK means progress; without progress inflate answers Z_BUF_ERROR:
    // it needs input past the recorded compressed size (or past the end of
    // the blob), or output past the recorded uncompressed size.
  } while (result == Z_OK);
  inflateEnd(&z);
  return result == Z_STREAM_END && input_left == 0 && z.avail_in == 0 &&
         output_left == 0;
}

}  // namespace brackenfold
