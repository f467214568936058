// The component index file "compindx.dat" of a store: a text file of entries,
// each "component= ID", "\tversion= N", "\tinstalled_local= REG;STORED" lines
// and "componentend", every line ended by one LF. WriteIndexEntry writes one
// entry through a sink; IndexReader reads entries forward, skipping whatever
// is malformed, and drops an entry cut off by the end of the file.
#ifndef BRACKENFOLD_STORE_INDEX_FILE_H_
#define BRACKENFOLD_STORE_INDEX_FILE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "store/file_path.h"

namespace brackenfold {

// Registered name -> stored file name, ordered byte-wise.
using FileMap = std::map<std::string, std::string>;

struct IndexEntry {
  std::string id;
  std::int32_t version = 0;
  FileMap files;
};

inline constexpr const char* kIndexFileName = "compindx.dat";

// Receives one whole line per call; false stops the writer.
using IndexWriteSink = bool (*)(void* context, const char* bytes,
                                std::size_t count);
// Context: a std::FILE*; true when every byte was written.
bool StdioIndexSink(void* context, const char* bytes, std::size_t count);

// True when the reader gives an entry with this id back: not blank, no line
// end, no NUL, no white space at either end.
bool IndexIdRoundTrips(const std::string& id);

// True when the reader gives the entry back as it is: the id round-trips, no
// line end or NUL in any name, and every registered name and stored name
// non-empty, without white space at either end, and the registered name without
// ";".
bool IndexEntryRoundTrips(const IndexEntry& entry);

// Writes the entry's lines, one sink call per line; false at the first sink
// call that fails, and false (nothing written) for an entry that does not
// round-trip, so a caller may check IndexEntryRoundTrips before truncating.
bool WriteIndexEntry(const IndexEntry& entry, IndexWriteSink sink,
                     void* sink_context);

class IndexReader {
 public:
  IndexReader() = default;
  ~IndexReader() { Close(); }
  IndexReader(const IndexReader&) = delete;
  IndexReader& operator=(const IndexReader&) = delete;

  // Closes any open stream, then opens path with mode "r".
  bool Open(FilePath path);
  // As Open, for the index of a store: the index's name is opened from its
  // directory without following a link. 0, or the errno (kErrnoNoEntry when
  // there is no index, kErrnoLink when it is a link).
  int OpenInStore(const FilePath& index_path);
  void Close();
  // The next complete entry (id upper-cased, version 0 when it has no version
  // line); false at the end of the file, with no stream, or when the file
  // ends inside an entry.
  bool ReadEntry(std::string* id, std::int32_t* version, FileMap* files);

 private:
  bool ReadLine(std::string* keyword, std::string* value);
  std::FILE* stream_ = nullptr;
};

}  // namespace brackenfold

#endif  // BRACKENFOLD_STORE_INDEX_FILE_H_
