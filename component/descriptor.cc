#include "component/descriptor.h"

#include "blob/leading_integer.h"
#include "store/text.h"

namespace brackenfold {

namespace {

bool IsExposeName(const std::string& field) {
  if (field.empty()) return false;
  for (char c : field) {
    bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                   (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.' ||
                   c == '/';
    if (!allowed) return false;
  }
  return true;
}

}  // namespace

bool IsDescriptorName(const std::string& file_name) {
  return file_name.compare(0, kDescriptorPrefixLength, kDescriptorPrefix) == 0;
}

std::vector<std::string> SplitDescriptorFields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = line.find(',', start);
    if (comma == std::string::npos) {
      fields.push_back(Trimmed(line.substr(start)));
      return fields;
    }
    fields.push_back(Trimmed(line.substr(start, comma - start)));
    start = comma + 1;
  }
}

bool ParsePrerequisiteLine(const std::string& line,
                           Prerequisite* prerequisite) {
  std::vector<std::string> fields = SplitDescriptorFields(line);
  if (fields.size() != 3) return false;
  prerequisite->required = ReadLeadingInteger(fields[0]).value != 0;
  prerequisite->id = fields[1];
  ToUpper(prerequisite->id);
  prerequisite->version = ReadLeadingInteger(fields[2]).value;
  return true;
}

bool PrerequisiteSink(void* context, const char* bytes, std::size_t count) {
  auto* sink = static_cast<PrerequisiteSinkContext*>(context);
  sink->pending.append(bytes, count);
  for (;;) {
    std::size_t end = sink->pending.find_first_of("\r\n");
    if (end == std::string::npos) return true;
    if (end > 0) {
      Prerequisite prerequisite;
      if (!ParsePrerequisiteLine(sink->pending.substr(0, end), &prerequisite)) {
        return false;
      }
      sink->target->push_back(std::move(prerequisite));
    }
    sink->pending.erase(0, end + 1);
  }
}

bool ParseExposeLine(const std::string& line, std::string* registered,
                     std::string* payload) {
  std::vector<std::string> fields = SplitDescriptorFields(line);
  if (fields.size() != 2 || !IsExposeName(fields[0]) ||
      !IsExposeName(fields[1])) {
    return false;
  }
  *registered = fields[0];
  *payload = fields[1];
  return true;
}

void ParseExposeList(const std::string& text, ExposeMap& map) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string registered, payload;
    if (end > start && ParseExposeLine(text.substr(start, end - start),
                                       &registered, &payload)) {
      map.emplace(payload, registered);
    }
    start = end + 1;
  }
}

bool IsSafePayloadName(const std::string& name) {
  if (name.empty()) return false;
  // A NUL would cut the name where the system sees it.
  if (name.find('\0') != std::string::npos) return false;
  if (name[0] == '/' || name[0] == '\\') return false;
  // "C:x" is relative to the current directory of drive C.
  if (name.size() >= 2 && name[1] == ':') return false;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = name.find_first_of("/\\", start);
    std::size_t length = (end == std::string::npos ? name.size() : end) - start;
    if (length == 0 || name.compare(start, length, "..") == 0) return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

std::string PrintableName(const std::string& name) {
  std::string out;
  for (char c : name) {
    if (c == '\0') {
      out += "\\0";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace brackenfold
