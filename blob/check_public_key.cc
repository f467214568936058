// check_public_key KEY.der: exit status 0 when KEY.der is a sound blob public
// key in the 421-byte form, 1 with a message otherwise. The build runs it on
// the key it embeds, so an installer is never built around a weak key.
#include <cstdio>
#include <string>
#include <vector>

#include "blob/blob_key_check.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: check_public_key KEY.der\n");
    return 2;
  }
  std::FILE* file = std::fopen(argv[1], "rb");
  if (file == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::vector<unsigned char> der(4096);
  std::size_t size = std::fread(der.data(), 1, der.size(), file);
  std::fclose(file);
  der.resize(size);
  brackenfold::BlobKeyValues key;
  std::string problem;
  if (!brackenfold::DecodeBlobKeyValues(der.data(), der.size(), &key,
                                        &problem)) {
    std::fprintf(stderr, "%s: not a sound blob public key: %s\n", argv[1],
                 problem.c_str());
    return 1;
  }
  return 0;
}
