#include "component/component_blob.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "blob/blob_signature.h"
#include "blob/fork_sink.h"
#include "blob/leading_integer.h"
#include "component/ahead_file_maker.h"
#include "component/behind_file_closer.h"
#include "platform/env.h"
#include "platform/unique_file.h"
#include "store/index_file.h"
#include "store/text.h"

namespace brackenfold {
namespace {

constexpr std::size_t kPayloadWriteBuffer = 256 * 1024;

// Gathers the extraction's pieces (at most 8192 bytes each) into writes of
// kPayloadWriteBuffer bytes to an unbuffered stream: under Wine each write is
// a trip through its system-call layer.
struct GatheringSink {
  std::FILE* stream;
  char* buffer;  // kPayloadWriteBuffer bytes
  std::size_t used;
};
static_assert(kPayloadWriteBuffer >= 8192, "a piece fits in the buffer");

bool FlushGatheringSink(GatheringSink* sink) {
  const std::size_t used = std::exchange(sink->used, 0);
  return std::fwrite(sink->buffer, 1, used, sink->stream) == used;
}

bool GatheringSinkWrite(void* context, const char* bytes, std::size_t count) {
  auto* sink = static_cast<GatheringSink*>(context);
  if (count > kPayloadWriteBuffer - sink->used && !FlushGatheringSink(sink)) {
    return false;
  }
  std::memcpy(sink->buffer + sink->used, bytes, count);
  sink->used += count;
  return true;
}

bool CollectPayloadName(void* context, const std::string& file_name,
                        const char* fork_name, std::uint32_t, std::uint32_t) {
  if (fork_name == nullptr && !IsDescriptorName(file_name)) {
    static_cast<std::vector<std::string>*>(context)->push_back(file_name);
  }
  return true;
}

// Why a payload name cannot be installed: one that would escape the
// directory or be cut by the system, or one the index cannot record as it is;
// null when it can.
const char* PayloadNameProblem(const std::string& name,
                               const ExposeMap& expose) {
  if (!IsSafePayloadName(name)) {
    return "the name is absolute, has a \"..\" or empty part or a NUL byte";
  }
  auto exposed = expose.find(name);
  IndexEntry trial;
  trial.id = "X";
  trial.files[exposed == expose.end() ? name : exposed->second] = name;
  if (!IndexEntryRoundTrips(trial)) {
    return "the index cannot record the name as it is";
  }
  return nullptr;
}

}  // namespace

ComponentBlob::ComponentBlob(const BlobStream& stream) : reader_(stream) {}

bool ComponentBlob::ReadText(const std::string& file_name, std::string* text) {
  TextSinkContext sink{text, 0, true};
  return reader_.ExtractFork(TextSink, &sink, file_name, kMainFork);
}

bool ComponentBlob::ReadValues() {
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

  return all_read;
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

  bool all_read = ReadValues();
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
  // Every name is checked before anything is written.
  for (const std::string& name : payload_names) {
    const char* problem = PayloadNameProblem(name, expose);
    if (problem != nullptr) return fail(name, problem);
  }
  if (!FilePath(maker.directory()).MakeDirectory()) {
    if (why) *why = "cannot make the directory '" + maker.directory() + "'";
    return false;
  }
  Env& env = CurrentEnv();

  // Stored names are recorded relative to the directory, so a payload name
  // with a "/" keeps its subdirectory.
  std::vector<AheadFileMaker::Name> file_names;
  file_names.reserve(payload_names.size());
  for (const std::string& name : payload_names) {
    std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) {
      file_names.push_back({name.substr(0, dot), name.substr(dot)});
    } else {
      file_names.push_back({name, std::string()});
    }
  }
  std::unique_ptr<char[]> write_buffer(new char[kPayloadWriteBuffer]);
  AheadFileMaker ahead(maker, std::move(file_names));
  BehindFileCloser closer(payload_names.size() >=
                          AheadFileMaker::kMinimumFiles);
  std::vector<std::string> stored_names(payload_names.size());
  for (std::size_t i = 0; i < payload_names.size(); ++i) {
    const std::string& name = payload_names[i];
    std::string stored;
    std::FILE* created = nullptr;
    int error = ahead.Take(i, &stored, &created);
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

    // The stream is unbuffered and the sink gathers the extraction's pieces
    // itself: every byte is written before the stream goes to the closer,
    // and the close uses no buffer of this loop.
    std::setvbuf(stream.get(), nullptr, _IONBF, 0);
    GatheringSink sink{stream.get(), write_buffer.get(), 0};
    bool written =
        reader_.ExtractFork(GatheringSinkWrite, &sink, name, kMainFork) &&
        FlushGatheringSink(&sink);
    if (!written) {
      std::fclose(stream.release());
      env.RemoveFileIn(maker.directory(), stored);
      return fail(name, "it cannot be extracted or written to '" +
                            maker.directory() + stored + "'");
    }
    closer.Close(stream.release(), i);
    stored_names[i] = std::move(stored);
  }
  const std::size_t failed = closer.Finish();
  if (failed != BehindFileCloser::kNoFailure) {
    env.RemoveFileIn(maker.directory(), stored_names[failed]);
    return fail(payload_names[failed], "it cannot be written to '" +
                                           maker.directory() +
                                           stored_names[failed] + "'");
  }
  return true;
}

}  // namespace brackenfold
