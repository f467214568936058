#include "win32/blob_list.h"

#include <string>

namespace brackenfold {

void ParseBlobList(const char* text, std::vector<FilePath>* list) {
  std::string item;
  for (const char* p = text ? text : "";; ++p) {
    if (*p == ',' || *p == '\0') {
      list->push_back(FilePath(item));
      item.clear();
      if (*p == '\0') break;
    } else {
      item += *p;
    }
  }
}

}  // namespace brackenfold
