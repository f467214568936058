// The rules of a component's descriptor, in one place for the installer
// (ComponentBlob) and the publisher's tool (bfold pack, list and extract):
// which blob files are descriptor files, their names, the syntax of the
// prerequisite and expose lists, the payload names that may be written below
// a directory, and how names are shown in messages. Numbers are read with
// ReadLeadingInteger (blob/leading_integer.h), as the blob's version line is.
#ifndef BRACKENFOLD_COMPONENT_DESCRIPTOR_H_
#define BRACKENFOLD_COMPONENT_DESCRIPTOR_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace brackenfold {

// Every blob file whose name begins with these ten bytes belongs to the
// descriptor and is never installed as payload.
inline constexpr char kDescriptorPrefix[] = "component/";
inline constexpr std::size_t kDescriptorPrefixLength =
    sizeof(kDescriptorPrefix) - 1;
bool IsDescriptorName(const std::string& file_name);

inline constexpr char kVersionFile[] = "component/version";
inline constexpr char kIdFile[] = "component/id";
inline constexpr char kTitleFile[] = "component/title";
inline constexpr char kDescriptionFile[] = "component/description";
inline constexpr char kPrereqFile[] = "component/prereq";
inline constexpr char kInitializeFile[] = "component/initialize";
inline constexpr char kPlatformFile[] = "component/platform";
inline constexpr char kExposeFile[] = "component/expose";

// One line of "component/prereq".
struct Prerequisite {
  std::string id;            // upper-cased
  std::int32_t version = 0;  // lowest acceptable version
  bool required = false;     // false: binds only an installed copy
};

// Payload file name -> registered name, from "component/expose".
using ExposeMap = std::map<std::string, std::string>;

// The fields between commas, and after the last one, each trimmed (Trim).
std::vector<std::string> SplitDescriptorFields(const std::string& line);

// One prerequisite line: exactly three fields REQUIRED,ID,VERSION; the flag
// and the version are read as integers (any flag but 0 is true), the id is
// upper-cased. False for any other number of fields.
bool ParsePrerequisiteLine(const std::string& line, Prerequisite* prerequisite);

// The ForkSink that parses "component/prereq": context is a
// PrerequisiteSinkContext. Lines end at CR or LF; a line that does not have
// exactly three comma-separated fields makes the sink refuse. A last line
// without a line end waits in pending until a final LF is fed.
struct PrerequisiteSinkContext {
  std::vector<Prerequisite>* target;
  std::string pending;
};
bool PrerequisiteSink(void* context, const char* bytes, std::size_t count);

// One expose line: exactly two fields REGISTERED,FILE, both non-empty and
// made only of ASCII letters, digits and "_-./". False for any other line.
bool ParseExposeLine(const std::string& line, std::string* registered,
                     std::string* payload);

// Parses expose lines into map (payload -> registered; existing keys keep
// their values); other lines are skipped.
void ParseExposeList(const std::string& text, ExposeMap& map);

// True when a payload name may be written below a directory: not empty, no
// NUL byte, not absolute (no leading "/" or "\", no drive colon as second
// character), and no part between separators ("/" or "\") that is empty or
// "..".
bool IsSafePayloadName(const std::string& name);

// A name as it may be shown in a message: NUL bytes and line ends escaped.
std::string PrintableName(const std::string& name);

}  // namespace brackenfold

#endif  // BRACKENFOLD_COMPONENT_DESCRIPTOR_H_
