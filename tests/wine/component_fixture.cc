// component_fixture: writes the component blobs of the Wine install session,
// signed with the demo key, into a directory:
//   core.blob    CORE 2: core.dat
//   viewer.blob  VIEWER 3, requires CORE 2: bin.dat and viewer.dll (the
//                recorder library given), its initialisation library, exposed
//                as Viewer.dll
// usage: component_fixture OUT_DIR RECORDER_DLL
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/blob_builder.h"

int main(int argc, char** argv) {
  using namespace brackenfold;
  std::ifstream in(argc == 3 ? argv[2] : "", std::ios::binary);
  const std::string recorder{std::istreambuf_iterator<char>(in), {}};
  const std::string out = argc == 3 ? std::string(argv[1]) + "\\" : "";
  BlobFiles core = ComponentFiles("core", 2);
  core.emplace_back("core.dat", "core data");
  BlobFiles viewer = ComponentFiles("viewer", 3, "1,CORE,2\n");
  viewer.emplace_back("bin.dat", "viewer data");
  viewer.emplace_back("viewer.dll", recorder);
  viewer.emplace_back("component/initialize", "viewer.dll\n");
  viewer.emplace_back("component/expose", "Viewer.dll,viewer.dll\n");
  if (recorder.empty() || !WriteSignedBlob(out + "core.blob", core) ||
      !WriteSignedBlob(out + "viewer.blob", viewer)) {
    std::fprintf(stderr, "usage: component_fixture OUT_DIR RECORDER_DLL\n");
    return 2;
  }
  return 0;
}
