// Fuzzes the descriptor list parsers of a component blob: "component/prereq"
// (PrerequisiteSink) and "component/expose" (ParseExposeList). The input is
// "<piece size byte><prereq text>\0<expose text>". The prerequisite sink must
// give the same answer however the text is cut into pieces; then both texts go
// into a blob built here, and ComponentBlob::Init and ReadExposeMap must agree
// with the direct parses.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "component/component_blob.h"
#include "fuzz/fuzz_support.h"
#include "store/text.h"
#include "tests/support/blob_builder.h"

namespace brackenfold {
namespace {

bool FeedPrerequisites(const std::string& text, std::size_t piece,
                       std::vector<Prerequisite>* target) {
  PrerequisiteSinkContext sink{target, std::string()};
  for (std::size_t at = 0; at < text.size(); at += piece) {
    const std::size_t left = text.size() - at;
    if (!PrerequisiteSink(&sink, text.data() + at,
                          left < piece ? left : piece)) {
      return false;
    }
  }
  return PrerequisiteSink(&sink, "\n", 1);
}

bool SamePrerequisites(const std::vector<Prerequisite>& a,
                       const std::vector<Prerequisite>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].id != b[i].id || a[i].version != b[i].version ||
        a[i].required != b[i].required) {
      return false;
    }
  }
  return true;
}

// What an exposed or registered name may hold once parsed.
bool IsCleanName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    if (c == ',' || IsWhiteSpace(c)) return false;
  }
  return true;
}

}  // namespace
}  // namespace brackenfold

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace brackenfold;
  if (size < 1) return 0;
  const std::size_t piece = (data[0] % 16) + 1;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t zero = rest.find('\0');
  const std::string prereq = rest.substr(0, zero);
  const std::string expose =
      zero == std::string::npos ? std::string() : rest.substr(zero + 1);

  std::vector<Prerequisite> whole;
  const bool whole_ok = FeedPrerequisites(prereq, prereq.size() + 1, &whole);
  std::vector<Prerequisite> pieces;
  const bool pieces_ok = FeedPrerequisites(prereq, piece, &pieces);
  BF_FUZZ_CHECK(whole_ok == pieces_ok);
  BF_FUZZ_CHECK(SamePrerequisites(whole, pieces));
  for (const Prerequisite& p : whole) {
    std::string upper = p.id;
    ToUpper(upper);
    BF_FUZZ_CHECK(upper == p.id);
  }

  ExposeMap direct;
  ParseExposeList(expose, direct);
  for (const auto& [payload, registered] : direct) {
    BF_FUZZ_CHECK(IsCleanName(payload));
    BF_FUZZ_CHECK(IsCleanName(registered));
  }

  BlobFiles files = ComponentFiles("FUZZ", 1, prereq);
  files.emplace_back("component/expose", expose);
  files.emplace_back("lib/payload.bin", "payload");
  const std::string blob = BuildUnsignedBlob(files);
  fuzz::MemoryBlobStream memory(
      reinterpret_cast<const std::uint8_t*>(blob.data()), blob.size());
  ComponentBlob component(memory.stream());
  const bool initialised = component.Init(true);
  BF_FUZZ_CHECK(initialised == whole_ok);
  if (initialised) {
    BF_FUZZ_CHECK(component.GetId() == "FUZZ");
    BF_FUZZ_CHECK(SamePrerequisites(component.GetPrerequisites(), whole));
  }
  ExposeMap through_blob;
  component.ReadExposeMap(through_blob);
  BF_FUZZ_CHECK(through_blob == direct);
  return 0;
}
