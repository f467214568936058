// Fuzzes ParseBlobList (win32/blob_list.h): the list holds one path per
// comma plus one, which put back together with commas give the text.
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
  std::size_t commas = 0;
  for (char c : c_text) commas += c == ',' ? 1 : 0;
  BF_FUZZ_CHECK(list.size() == commas + 2);
  BF_FUZZ_CHECK(list.front().text() == "already there");
  std::string joined;
  for (std::size_t i = 1; i < list.size(); ++i) {
    BF_FUZZ_CHECK(list[i].text().find(',') == std::string::npos);
    if (i > 1) joined += ',';
    joined += list[i].text();
  }
  BF_FUZZ_CHECK(joined == c_text);
  return 0;
}
