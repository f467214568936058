// Fuzzes ParseBlobList (win32/blob_list.h): the list gains one path per comma
// plus one, which put back together with commas give the text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "win32/blob_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace brackenfold;
  // The host hands a C text: it ends at the first zero byte.
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string c_text = text.substr(0, text.find('\0'));
  std::vector<FilePath> list{FilePath("already there")};
  ParseBlobList(c_text.c_str(), &list);
  std::string joined = list.front().text();
  for (std::size_t i = 1; i < list.size(); ++i) {
    BF_FUZZ_CHECK(list[i].text().find(',') == std::string::npos);
    joined += (i > 1 ? "," : "|") + list[i].text();
  }
  BF_FUZZ_CHECK(list.size() >= 2 && joined == "already there|" + c_text);
  return 0;
}
