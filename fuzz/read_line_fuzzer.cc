// Fuzzes ReadLine (store/text.h) over a stdio stream of the input, against a
// plain model: a line ends at LF, CR, CR LF or LF CR, and a last line without
// an end is handed back with a false result.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/fuzz_support.h"
#include "store/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace brackenfold;
  // fmemopen refuses an empty buffer.
  if (size == 0) return 0;
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::FILE* stream = fmemopen(bytes.data(), bytes.size(), "rb");
  if (stream == nullptr) return 0;

  std::size_t at = 0;  // the model's position
  std::string line;
  for (;;) {
    const bool ended = ReadLine(stream, line);
    std::size_t end = bytes.find_first_of("\r\n", at);
    if (end == std::string::npos) {
      BF_FUZZ_CHECK(!ended);
      BF_FUZZ_CHECK(line == bytes.substr(at));
      break;
    }
    BF_FUZZ_CHECK(ended);
    BF_FUZZ_CHECK(line == bytes.substr(at, end - at));
    at = end + 1;
    if (at < bytes.size() && (bytes[at] == '\r' || bytes[at] == '\n') &&
        bytes[at] != bytes[end]) {
      ++at;
    }
  }
  std::fclose(stream);
  return 0;
}
