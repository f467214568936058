#include "tests/support/blob_builder.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>

#include "blob/blob_writer.h"

namespace brackenfold {

namespace {

[[noreturn]] void Abort(const std::string& message) {
  std::fprintf(stderr, "blob_builder: %s\n", message.c_str());
  std::abort();
}

}  // namespace

const BlobKey& DemoBlobKey() {
  static const BlobKey key = [] {
    const std::string path = BRACKENFOLD_DEMO_PRIVATE_KEY;
    std::string text, error;
    // Under Wine a POSIX path is reached through the drive that maps "/".
    if (!ReadWholeFile(path, &text) && !ReadWholeFile("Z:" + path, &text)) {
      Abort("cannot read " + path);
    }
    BlobKey loaded;
    if (!ParseBlobPrivateKey(text, &loaded, &error)) Abort(path + ": " + error);
    return loaded;
  }();
  return key;
}

std::string BuildBlob(const BlobFiles& files, const BlobBuildOptions& options) {
  BlobWriter writer;
  std::string error;
  for (const auto& [name, contents] : files) {
    if (!writer.AddBytes(name, contents, &error)) Abort(error);
  }
  writer.SetDigestSection(options.digest);
  if (options.signature) writer.SetSigningKey(&DemoBlobKey());
  std::string blob;
  if (!writer.WriteToString(&blob, &error)) Abort(error);
  return blob;
}

std::string BuildSignedBlob(const BlobFiles& files) {
  return BuildBlob(files, BlobBuildOptions{});
}

std::string BuildUnsignedBlob(const BlobFiles& files) {
  return BuildBlob(files, {true, false});
}

bool WriteSignedBlob(const std::string& path, const BlobFiles& files) {
  std::string blob = BuildSignedBlob(files);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(blob.data(), 1, blob.size(), file) == blob.size();
  return std::fclose(file) == 0 && ok;
}

BlobFiles ComponentFiles(const std::string& id, int version,
                         const std::string& prereq) {
  return {{"component/id", id},
          {"component/version", std::to_string(version)},
          {"component/title", id + " component"},
          {"component/description", "Test component " + id},
          {"component/prereq", prereq}};
}

std::size_t BlobBodyOffset(const std::string& blob) {
  // The magic and version lines, the section count, then each section's name
  // line, size line and content.
  std::size_t position = 0, count = 0, length = 0;
  auto line = [&](std::size_t* value) {
    const std::size_t end = blob.find('\n', position);
    if (end == std::string::npos) return false;
    *value = std::strtoul(blob.substr(position, end - position).c_str(),
                          nullptr, 10);
    position = end + 1;
    return true;
  };
  if (!line(&count) || !line(&count) || !line(&count)) return std::string::npos;
  for (std::size_t i = 0; i < count; ++i) {
    if (!line(&length) || !line(&length)) return std::string::npos;
    position += length;
  }
  return position <= blob.size() ? position : std::string::npos;
}

std::string BlobBody(const std::string& blob) {
  std::size_t offset = BlobBodyOffset(blob);
  if (offset == std::string::npos) Abort("not a well-formed blob");
  return blob.substr(offset);
}

std::string AssembleBlob(
    const std::vector<std::pair<std::string, std::string>>& sections,
    const std::string& body) {
  std::string blob =
      "VantoriumBlob\n1\n" + std::to_string(sections.size()) + "\n";
  for (const auto& [name, content] : sections) {
    blob += name + "\n" + std::to_string(content.size()) + "\n" + content;
  }
  return blob + body;
}

std::string CorruptBlob(std::string blob, std::size_t offset,
                        unsigned char mask) {
  blob.at(offset) = static_cast<char>(blob.at(offset) ^ mask);
  return blob;
}

std::string ZlibCompress(const std::string& bytes) {
  uLongf size = compressBound(static_cast<uLong>(bytes.size()));
  std::string out(size, '\0');
  if (compress(reinterpret_cast<Bytef*>(&out[0]), &size,
               reinterpret_cast<const Bytef*>(bytes.data()),
               static_cast<uLong>(bytes.size())) != Z_OK) {
    Abort("compress failed");
  }
  out.resize(size);
  return out;
}

}  // namespace brackenfold
