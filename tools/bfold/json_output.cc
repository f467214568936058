#include "tools/bfold/json_output.h"

#include <cstdio>

#include "component/component_blob.h"
#include "component/descriptor.h"
#include "component/prerequisite_check.h"

namespace brackenfold {

Json JsonText(const std::string& bytes) {
  // UTF-8 of U+0000-U+00FF; dump's ensure_ascii then escapes all but ASCII.
  std::string text;
  text.reserve(bytes.size());
  for (unsigned char byte : bytes) {
    if (byte < 0x80) {
      text += static_cast<char>(byte);
    } else {
      text += static_cast<char>(0xC0 | (byte >> 6));
      text += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return Json(std::move(text));
}

void PrintJson(const Json& document) {
  std::string text = document.dump(2, ' ', true) + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
}

std::string FailedCheckName(BlobVerdict verdict) {
  // Every verdict text begins with the name of its check and a colon.
  std::string text = BlobVerdictText(verdict);
  std::size_t colon = text.find(':');
  return colon == std::string::npos ? "format" : text.substr(0, colon);
}

Json SignatureJson(BlobVerdict required_signature, BlobVerdict digest_check,
                   const std::string& key_name) {
  Json result = {{"key", JsonText(key_name)}};
  bool signed_blob = required_signature == BlobVerdict::Ok;
  if (signed_blob || required_signature == BlobVerdict::SignatureMissing) {
    result["verdict"] = signed_blob ? "valid" : "unsigned";
    result["failed_check"] =
        signed_blob ? Json(nullptr) : Json(FailedCheckName(required_signature));
    result["message"] = signed_blob ? "the signature verifies"
                                    : BlobVerdictText(required_signature);
    result["signature_section"] = signed_blob;
    result["digest_section"] = digest_check == BlobVerdict::Ok;
  } else {
    result["verdict"] = "invalid";
    result["failed_check"] = FailedCheckName(required_signature);
    result["message"] = BlobVerdictText(required_signature);
    result["signature_section"] = nullptr;
    result["digest_section"] = nullptr;
  }
  return result;
}

Json FilesJson(const BlobReader& reader) {
  Json files = Json::array();
  for (const auto& [name, file] : reader.GetFiles()) {
    Json forks = Json::array();
    for (const auto& [fork_name, fork] : file.forks) {
      forks.push_back({{"name", JsonText(fork_name)},
                       {"size", fork.uncompressed_size},
                       {"compressed_size", fork.compressed_size},
                       {"offset", fork.offset}});
    }
    files.push_back({{"name", JsonText(file.name)},
                     {"payload", !IsDescriptorName(file.name)},
                     {"forks", std::move(forks)}});
  }
  return files;
}

Json ComponentJson(const std::string& path) {
  BlobFile stream{FilePath(path)};
  if (!stream) return nullptr;
  ComponentBlob blob(StdioBlobStream(stream.get()));
  if (!blob.Init(true)) return nullptr;
  Json prerequisites = Json::array();
  for (const Prerequisite& prerequisite : blob.GetPrerequisites()) {
    prerequisites.push_back({{"id", JsonText(prerequisite.id)},
                             {"version", prerequisite.version},
                             {"required", prerequisite.required}});
  }
  ExposeMap expose_map;
  blob.ReadExposeMap(expose_map);
  Json expose = Json::object();
  for (const auto& [file, registered] : expose_map) {
    expose[JsonText(file).get<std::string>()] = JsonText(registered);
  }
  return {{"id", JsonText(blob.GetId())},
          {"version", blob.GetVersion()},
          {"title", JsonText(blob.GetTitle())},
          {"description", JsonText(blob.GetDescription())},
          {"platform", JsonText(blob.GetPlatform())},
          {"initialize", blob.GetInitializeFile().empty()
                             ? Json(nullptr)
                             : JsonText(blob.GetInitializeFile())},
          {"expose", std::move(expose)},
          {"prerequisites", std::move(prerequisites)}};
}

Json IndexEntryJson(const IndexEntry& entry) {
  Json files = Json::object();
  for (const auto& [registered, stored] : entry.files) {
    files[JsonText(registered).get<std::string>()] = JsonText(stored);
  }
  return {{"id", JsonText(entry.id)},
          {"version", entry.version},
          {"files", std::move(files)}};
}

Json InstalledJson(const InstalledComponents& table) {
  Json components = Json::array();
  for (const auto& [id, version] : table) {
    components.push_back({{"id", JsonText(id)}, {"version", version}});
  }
  return {{"components", std::move(components)}};
}

}  // namespace brackenfold
