#include "component/component_blob.h"

#include <cstdio>
#include <memory>
#include <optional>

#include "blob/blob_signature.h"
#include "blob/fork_sink.h"
#include "blob/leading_integer.h"
#include "platform/env.h"
#include "store/index_file.h"
#include "store/text.h"

namespace brackenfold {
namespace {

constexpr const char kDescriptorPrefix[] = "component/";
constexpr std::size_t kDescriptorPrefixLength = sizeof(kDescriptorPrefix) - 1;
constexpr std::size_t kPayloadWriteBuffer = 64 * 1024;

constexpr const char kVersionFile[] = "component/version";
constexpr const char kIdFile[] = "component/id";
constexpr const char kTitleFile[] = "component/title";
constexpr const char kDescriptionFile[] = "component/description";
constexpr const char kPrereqFile[] = "component/prereq";
constexpr const char kInitializeFile[] = "component/initialize";
constexpr const char kPlatformFile[] = "component/platform";
constexpr const char kExposeFile[] = "component/expose";

struct FileCloser {
  void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// Fields between commas, and after the last one, each trimmed.
std::vector<std::string> SplitFields(const std::string& line) {
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
                           std::vector<Prerequisite>* target) {
  std::vector<std::string> fields = SplitFields(line);
  if (fields.size() != 3) return false;
  Prerequisite prerequisite;
  prerequisite.required = ReadLeadingInteger(fields[0]).value != 0;
  prerequisite.id = fields[1];
  ToUpper(prerequisite.id);
  prerequisite.version = ReadLeadingInteger(fields[2]).value;
  target->push_back(std::move(prerequisite));
  return true;
}

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

bool CollectPayloadName(void* context, const std::string& file_name,
                        const char* fork_name, std::uint32_t, std::uint32_t) {
  if (fork_name == nullptr &&
      file_name.compare(0, kDescriptorPrefixLength, kDescriptorPrefix) != 0) {
    static_cast<std::vector<std::string>*>(context)->push_back(file_name);
  }
  return true;
}

}  // namespace

bool PrerequisiteSink(void* context, const char* bytes, std::size_t count) {
  auto* sink = static_cast<PrerequisiteSinkContext*>(context);
  sink->pending.append(bytes, count);
  for (;;) {
    std::size_t end = sink->pending.find_first_of("\r\n");
    if (end == std::string::npos) return true;
    if (end > 0 &&
        !ParsePrerequisiteLine(sink->pending.substr(0, end), sink->target)) {
      return false;
    }
    sink->pending.erase(0, end + 1);
  }
}

void ParseExposeList(const std::string& text, ExposeMap& map) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    if (end > start) {
      std::vector<std::string> fields =
          SplitFields(text.substr(start, end - start));
      if (fields.size() == 2 && IsExposeName(fields[0]) &&
          IsExposeName(fields[1])) {
        map.emplace(fields[1], fields[0]);
      }
    }
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

bool IsSafePayloadName(const std::string& name) {
  if (name.empty()) return false;
  // A NUL would cut the name where the system sees it.
  if (name.find('\0') != std::string::npos) return false;
  if (name[0] == '/' || name[0] == '\\') return false;
  bool drive_letter = name.size() >= 2 && name[1] == ':' &&
                      ((name[0] >= 'a' && name[0] <= 'z') ||
                       (name[0] >= 'A' && name[0] <= 'Z'));
  if (drive_letter) return false;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = name.find_first_of("/\\", start);
    std::size_t length = (end == std::string::npos ? name.size() : end) - start;
    if (name.compare(start, length, "..") == 0) return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

ComponentBlob::ComponentBlob(const BlobStream& stream) : reader_(stream) {}

bool ComponentBlob::ReadText(const std::string& file_name, std::string* text) {
  TextSinkContext sink{text, 0, true};
  return reader_.ExtractFork(TextSink, &sink, file_name, kMainFork);
}

bool ComponentBlob::Init(bool skip_checks) {
  failure_.clear();
  bool opened = reader_.Open(BlobCheck::Signature, skip_checks);
  if (!opened) failure_ = BlobVerdictText(reader_.GetVerdict());
  if (!opened) {
    std::fprintf(stderr, "ComponentBlob::Init Failed in reader init\n");
    return false;
  }

  bool all_present = true;
  for (const char* name :
       {kVersionFile, kIdFile, kTitleFile, kDescriptionFile, kPrereqFile}) {
    if (!reader_.HasFork(name, kMainFork)) {
      if (all_present) {
        failure_ = std::string("the descriptor file ") + name + " is missing";
      }
      all_present = false;
    }
  }
  if (!all_present) {
    std::fprintf(stderr, "ComponentBlob::Init Failed to find required files\n");
    return false;
  }

  bool all_read = true;
  if (!ReadText(kIdFile, &id_)) all_read = false;
  ToUpper(id_);
  Trim(id_);
  if (!ReadText(kTitleFile, &title_)) all_read = false;
  Trim(title_);
  if (!ReadText(kDescriptionFile, &description_)) all_read = false;
  Trim(description_);
  std::string version_text;
  if (!ReadText(kVersionFile, &version_text)) all_read = false;
  Trim(version_text);
  version_ = ReadLeadingInteger(version_text).value;
  if (reader_.HasFork(kInitializeFile, kMainFork)) {
    if (!ReadText(kInitializeFile, &initialize_)) all_read = false;
    Trim(initialize_);
  }
  if (reader_.HasFork(kPlatformFile, kMainFork)) {
    if (!ReadText(kPlatformFile, &platform_)) all_read = false;
  } else {
    platform_ = "unknown";
  }
  Trim(platform_);
  ToUpper(platform_);

  PrerequisiteSinkContext sink{&prerequisites_, std::string()};
  bool extracted =
      reader_.ExtractFork(PrerequisiteSink, &sink, kPrereqFile, kMainFork);
  bool fed = PrerequisiteSink(&sink, "\n", 1);
  if (!extracted || !fed || !all_read) {
    failure_ = !all_read ? "a descriptor file cannot be read"
                         : "component/prereq cannot be read, or one of its "
                           "lines does not have three fields";
    std::fprintf(stderr, "ComponentBlob::Init Failed to read prereqs\n");
    return false;
  }
  initialised_ = true;
  return true;
}

void ComponentBlob::ReadExposeMap(ExposeMap& map) {
  if (!reader_.HasFork(kExposeFile, kMainFork)) return;
  std::string text;
  if (!ReadText(kExposeFile, &text)) return;
  ParseExposeList(text, map);
}

std::vector<std::string> ComponentBlob::PayloadNames() const {
  std::vector<std::string> names;
  reader_.EnumerateForks(CollectPayloadName, &names);
  return names;
}

bool ComponentBlob::Install(FilePath directory, FileMap& files,
                            std::string& init_library) {
  FilePath base(directory);
  base.AppendFile("");
  UniqueFileMaker maker(base.PathText());
  return Install(maker, files, init_library, nullptr);
}

bool ComponentBlob::Install(UniqueFileMaker& maker, FileMap& files,
                            std::string& init_library, std::string* why) {
  auto fail = [why](const std::string& name, const std::string& cause) {
    if (why) *why = "payload '" + PrintableName(name) + "': " + cause;
    return false;
  };
  const std::vector<std::string> payload_names = PayloadNames();
  ExposeMap expose;
  ReadExposeMap(expose);
  // Refused before anything is written: names that would escape the
  // directory or be cut by the system, and names the index cannot record as
  // they are.
  for (const std::string& name : payload_names) {
    if (!IsSafePayloadName(name)) {
      return fail(name,
                  "the name is absolute, has a \"..\" part or a NUL "
                  "byte");
    }
    auto exposed = expose.find(name);
    IndexEntry trial;
    trial.id = "X";
    trial.files[exposed == expose.end() ? name : exposed->second] = name;
    if (!IndexEntryRoundTrips(trial)) {
      return fail(name, "the index cannot record the name as it is");
    }
  }
  if (!FilePath(maker.directory()).MakeDirectory()) {
    if (why) *why = "cannot make the directory '" + maker.directory() + "'";
    return false;
  }
  Env& env = CurrentEnv();

  // Declared before the streams that use it, so it outlives each of them.
  std::unique_ptr<char[]> write_buffer(new char[kPayloadWriteBuffer]);
  for (const std::string& name : payload_names) {
    std::size_t dot = name.rfind('.');
    std::string prefix = name;
    std::string suffix;
    if (dot != std::string::npos && dot > 0) {
      prefix = name.substr(0, dot);
      suffix = name.substr(dot);
    }
    // Stored names are recorded relative to the directory, so a payload name
    // with a "/" keeps its subdirectory.
    std::string stored;
    std::FILE* created = nullptr;
    int error = maker.Create(prefix, suffix, &stored, &created);
    if (error != 0) {
      return fail(name, "cannot create its file in '" + maker.directory() +
                            "': " + FileErrorText(error));
    }
    UniqueFile stream(created);

    auto exposed = expose.find(name);
    const std::string& registered =
        exposed != expose.end() ? exposed->second : name;
    if (name == initialize_) init_library = maker.directory() + stored;
    files.emplace(registered, stored);

    // Extraction delivers 8192-byte pieces; gather them into fewer writes.
    std::setvbuf(stream.get(), write_buffer.get(), _IOFBF, kPayloadWriteBuffer);
    bool written = reader_.ExtractFork(FileSink, stream.get(), name, kMainFork);
    if (std::fclose(stream.release()) != 0) written = false;
    if (!written) {
      env.RemoveFileIn(maker.directory(), stored);
      return fail(name, "it cannot be extracted or written to '" +
                            maker.directory() + stored + "'");
    }
  }
  return true;
}

}  // namespace brackenfold
