// component_fixture: writes the component blobs of the Wine component
// sessions, signed with the demo key, into a directory:
//   core.blob    CORE 2: core.dat
//   viewer.blob  VIEWER 3, requires CORE 2: bin.dat and viewer.dll (the
//                recorder library given), its initialisation library, exposed
//                as Viewer.dll
//   broken.blob  BROKEN 1: big.bin, whose data ends halfway through
// usage: component_fixture OUT_DIR RECORDER_DLL
#include <cstdio>
#include <string>

#include "tests/component/component_test_support.h"

int main(int argc, char** argv) {
  using namespace brackenfold;
  if (argc != 3) {
    std::fprintf(stderr, "usage: component_fixture OUT_DIR RECORDER_DLL\n");
    return 2;
  }
  const std::string out = std::string(argv[1]) + "\\";
  std::string recorder;
  if (!ReadFileBytes(argv[2], &recorder) || recorder.empty()) {
    std::fprintf(stderr, "component_fixture: cannot read %s\n", argv[2]);
    return 1;
  }
  BlobFiles core = ComponentFiles("core", 2);
  core.emplace_back("core.dat", "core data");
  BlobFiles viewer = ComponentFiles("viewer", 3, "1,CORE,2\n");
  viewer.emplace_back("bin.dat", "viewer data");
  viewer.emplace_back("viewer.dll", recorder);
  viewer.emplace_back("component/initialize", "viewer.dll\n");
  viewer.emplace_back("component/expose", "Viewer.dll,viewer.dll\n");
  RawFork big = GoodFork("big.bin", std::string(200000, 'b'));
  big.data.resize(big.data.size() / 2);
  std::string broken = BuildSignedRawBlob(
      {big, GoodFork("component/description", "d"),
       GoodFork("component/id", "broken"), GoodFork("component/prereq", ""),
       GoodFork("component/title", "t"), GoodFork("component/version", "1")});
  if (!WriteSignedBlob(out + "core.blob", core) ||
      !WriteSignedBlob(out + "viewer.blob", viewer) ||
      !WriteFileBytes(out + "broken.blob", broken)) {
    std::fprintf(stderr, "component_fixture: cannot write into %s\n", argv[1]);
    return 1;
  }
  return 0;
}
