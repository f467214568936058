// make_test_blob: writes a component blob signed with the demo key, for Wine
// sessions that need one on disk.
//   make_test_blob OUT ID VERSION [NAME=CONTENTS ...]
// The blob carries the descriptor files of component ID at VERSION and the
// given payload files. Exit status 0, or 2 for bad usage or a failed write.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/blob_builder.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fputs("usage: make_test_blob OUT ID VERSION [NAME=CONTENTS ...]\n",
               stderr);
    return 2;
  }
  brackenfold::BlobFiles files =
      brackenfold::ComponentFiles(argv[2], std::atoi(argv[3]));
  for (int i = 4; i < argc; ++i) {
    std::string item = argv[i];
    std::size_t eq = item.find('=');
    if (eq == std::string::npos || eq == 0) {
      std::fprintf(stderr, "make_test_blob: not NAME=CONTENTS: %s\n", argv[i]);
      return 2;
    }
    files.emplace_back(item.substr(0, eq), item.substr(eq + 1));
  }
  if (!brackenfold::WriteSignedBlob(argv[1], files)) {
    std::fprintf(stderr, "make_test_blob: cannot write %s\n", argv[1]);
    return 2;
  }
  return 0;
}
