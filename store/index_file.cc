#include "store/index_file.h"

#include <climits>
#include <cstdlib>

#include "platform/env.h"
#include "store/text.h"

namespace brackenfold {
namespace {

constexpr const char kComponent[] = "component";
constexpr const char kVersion[] = "version";
constexpr const char kInstalledLocal[] = "installed_local";
constexpr const char kComponentEnd[] = "componentend";

bool HasLineEnd(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

bool HasNul(const std::string& text) {
  return text.find('\0') != std::string::npos;
}

bool HasOuterWhiteSpace(const std::string& text) {
  return !text.empty() &&
         (IsWhiteSpace(text.front()) || IsWhiteSpace(text.back()));
}

// One whole line per sink call: an optional tab, the keyword, and "= value"
// when the line has a value.
bool WriteLine(bool indented, const char* keyword, const std::string* value,
               IndexWriteSink sink, void* sink_context) {
  std::string line;
  line.reserve(128);
  if (indented) line += '\t';
  line += keyword;
  if (value) {
    line += "= ";
    line += *value;
  }
  line += '\n';
  return sink(sink_context, line.data(), line.size());
}

void LowerCase(std::string& text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}

// atoi's reading (white space, optional sign, decimal digits up to the first
// other character, none giving 0), held to the 32-bit range instead of
// leaving an overlong number undefined.
std::int32_t ParseVersion(const std::string& text) {
  long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

}  // namespace

bool StdioIndexSink(void* context, const char* bytes, std::size_t count) {
  std::FILE* stream = static_cast<std::FILE*>(context);
  return std::fwrite(bytes, 1, count, stream) == count;
}

bool IndexIdRoundTrips(const std::string& id) {
  // The reader skips a blank id (and the entry with it) and trims it.
  return !id.empty() && !HasLineEnd(id) && !HasNul(id) &&
         !HasOuterWhiteSpace(id);
}

bool IndexEntryRoundTrips(const IndexEntry& entry) {
  if (!IndexIdRoundTrips(entry.id)) return false;
  for (const auto& [registered, stored] : entry.files) {
    if (registered.empty() || stored.empty()) return false;
    if (HasLineEnd(registered) || HasLineEnd(stored)) return false;
    if (HasNul(registered) || HasNul(stored)) return false;
    if (registered.find(';') != std::string::npos) return false;
    if (HasOuterWhiteSpace(registered) || HasOuterWhiteSpace(stored)) {
      return false;
    }
  }
  return true;
}

bool WriteIndexEntry(const IndexEntry& entry, IndexWriteSink sink,
                     void* sink_context) {
  // A name that the reader would split, trim or end early is refused here
  // rather than written as a different file map (or as extra lines).
  if (!IndexEntryRoundTrips(entry)) return false;
  if (!WriteLine(false, kComponent, &entry.id, sink, sink_context)) {
    return false;
  }
  const std::string version = FormatText("%d", static_cast<int>(entry.version));
  if (!WriteLine(true, kVersion, &version, sink, sink_context)) return false;
  for (const auto& [registered, stored] : entry.files) {
    const std::string value = registered + ";" + stored;
    if (!WriteLine(true, kInstalledLocal, &value, sink, sink_context)) {
      return false;
    }
  }
  return WriteLine(false, kComponentEnd, nullptr, sink, sink_context);
}

bool IndexReader::Open(FilePath path) {
  Close();
  stream_ = path.OpenStream("r");
  return stream_ != nullptr;
}

int IndexReader::OpenInStore(const FilePath& index_path) {
  Close();
  std::string directory, name;
  SplitStorePath(index_path, &directory, &name);
  return CurrentEnv().OpenFileIn(directory, name, "r", &stream_);
}

void IndexReader::Close() {
  if (stream_) std::fclose(stream_);
  stream_ = nullptr;
}

bool IndexReader::ReadLine(std::string* keyword, std::string* value) {
  for (;;) {
    std::string line;
    for (;;) {
      int c = std::getc(stream_);
      if (c == EOF) return false;  // a line without its end is not delivered
      if (c == '\n' || c == '\r') break;
      line += static_cast<char>(c);
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) {
      *keyword = line;
      value->clear();
    } else {
      *keyword = line.substr(0, equals);
      *value = line.substr(equals + 1);
    }
    Trim(*keyword);
    Trim(*value);
    if (keyword->empty()) continue;
    LowerCase(*keyword);
    return true;
  }
}

bool IndexReader::ReadEntry(std::string* id, std::int32_t* version,
                            FileMap* files) {
  if (!stream_) return false;
  *version = 0;
  files->clear();
  id->clear();

  std::string keyword, value;
  do {
    if (!ReadLine(&keyword, &value)) return false;
  } while (keyword != kComponent || value.empty());
  *id = value;
  ToUpper(*id);

  while (ReadLine(&keyword, &value)) {
    if (keyword == kComponentEnd) return true;
    if (keyword == kVersion) {
      *version = ParseVersion(value);
    } else if (keyword == kInstalledLocal && !value.empty()) {
      const std::size_t semicolon = value.find(';');
      if (semicolon == std::string::npos) {
        files->emplace(value, value);
      } else if (semicolon != 0 && semicolon + 1 != value.size()) {
        files->emplace(Trimmed(value.substr(0, semicolon)),
                       Trimmed(value.substr(semicolon + 1)));
      }
    }
  }
  return false;
}

}  // namespace brackenfold
