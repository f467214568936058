// Fuzzes the descriptor list parsers of a component blob: "component/prereq"
// (PrerequisiteSink) and "component/expose" (ParseExposeList). The input is
// "<piece size byte><prereq text>\0<expose text>". The prerequisite sink must
// give the same answer however the text is cut into pieces; the expose map
// holds only names without separators or blanks.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "component/descriptor.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace brackenfold;
  if (size < 1) return 0;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t zero = rest.find('\0');
  const std::string prereq = rest.substr(0, zero);
  const std::string expose =
      zero == std::string::npos ? std::string() : rest.substr(zero + 1);

  // The list as text, or "refused"; fed in pieces and ended with a LF.
  auto feed = [&prereq](std::size_t piece) -> std::string {
    std::vector<Prerequisite> list;
    PrerequisiteSinkContext sink{&list, std::string()};
    for (std::size_t at = 0; at < prereq.size(); at += piece) {
      if (!PrerequisiteSink(&sink, prereq.data() + at,
                            std::min(piece, prereq.size() - at))) {
        return "refused";
      }
    }
    if (!PrerequisiteSink(&sink, "\n", 1)) return "refused";
    std::string out;
    for (const Prerequisite& p : list) {
      out += p.id + '\n' + std::to_string(p.version) + (p.required ? "!" : "?");
    }
    return out;
  };
  BF_FUZZ_CHECK(feed(data[0] % 16 + 1) == feed(prereq.size() + 1));
  ExposeMap map;
  ParseExposeList(expose, map);
  for (const auto& [payload, registered] : map) {
    for (const std::string& name : {payload, registered}) {
      BF_FUZZ_CHECK(!name.empty() &&
                    name.find_first_of(", \t\r\n") == std::string::npos);
    }
  }
  return 0;
}
