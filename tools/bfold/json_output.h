// bfold's --json output: one JSON document on standard output per command,
// in the schema that docs/blob-format.md describes. Every text in it, names
// included, is a byte string, written one character per byte: byte b becomes
// the character U+00b, so the output is plain ASCII with every byte outside
// 0x20-0x7E as a \u00XX escape, and any reader gets the bytes back exactly
// (in Python: text.encode("latin-1")).
#ifndef BRACKENFOLD_TOOLS_BFOLD_JSON_OUTPUT_H_
#define BRACKENFOLD_TOOLS_BFOLD_JSON_OUTPUT_H_

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "blob/blob_reader.h"
#include "blob/blob_signature.h"
#include "store/index_file.h"
#include "store/installed_components.h"

namespace brackenfold {

using Json = nlohmann::json;

// A byte string as a JSON string, one character per byte.
Json JsonText(const std::string& bytes);
// Writes the document and a line feed to standard output.
void PrintJson(const Json& document);

// The name of the check a verdict failed: "format", "digest" or "signature".
std::string FailedCheckName(BlobVerdict verdict);

// How a blob stands against a public key, from the two checks bfold makes:
// required_signature is the verdict of Open with BlobCheck::Signature,
// digest_check (made only when the first found no fault) that of Open with
// BlobCheck::Digest.
Json SignatureJson(BlobVerdict required_signature, BlobVerdict digest_check,
                   const std::string& key_name);

// The table of contents: every file with its forks and sizes.
Json FilesJson(const BlobReader& reader);

// The component as the installer reads it from the blob file at path (its
// signature not checked), or null when its descriptor cannot be read.
Json ComponentJson(const std::string& path);

Json IndexEntryJson(const IndexEntry& entry);
Json InstalledJson(const InstalledComponents& table);

}  // namespace brackenfold

#endif  // BRACKENFOLD_TOOLS_BFOLD_JSON_OUTPUT_H_
