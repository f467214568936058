// The blob list the host passes to Wise_DoInstall: the paths of the component
// blobs to install, separated by commas.
#ifndef BRACKENFOLD_WIN32_BLOB_LIST_H_
#define BRACKENFOLD_WIN32_BLOB_LIST_H_

#include <vector>

#include "store/file_path.h"

namespace brackenfold {

// Appends the comma-separated paths of text to list: commas plus one paths,
// in order, nothing trimmed, empty items kept as empty paths, items of any
// length kept whole. A null text counts as the empty text.
void ParseBlobList(const char* text, std::vector<FilePath>* list);

}  // namespace brackenfold

#endif  // BRACKENFOLD_WIN32_BLOB_LIST_H_
