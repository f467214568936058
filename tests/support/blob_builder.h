// Test helpers that make component blobs with the blob writer, signed with the
// demo private key in keys/ (so they verify against the default built-in
// public key), plus the variants blob tests need: unsigned, digest only, and
// blobs reassembled around hand-made signature sections.
#ifndef BRACKENFOLD_TESTS_SUPPORT_BLOB_BUILDER_H_
#define BRACKENFOLD_TESTS_SUPPORT_BLOB_BUILDER_H_

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "blob/blob_key.h"

namespace brackenfold {

using BlobFiles = std::vector<std::pair<std::string, std::string>>;

// Files are (name, contents) in any order; names beginning "component/" are
// descriptor files. Each file's contents is its "ALL_MAIN" fork. The blob has a
// "SHA \n" and an "ELGA\n" section. A name given twice aborts the test.
std::string BuildSignedBlob(const BlobFiles& files);
bool WriteSignedBlob(const std::string& path, const BlobFiles& files);

// Descriptor files for id/version/title/description/prereq (+ optional extra
// files): title "<id> component", description "Test component <id>".
BlobFiles ComponentFiles(const std::string& id, int version,
                         const std::string& prereq = "");

// How a test blob is signed.
struct BlobBuildOptions {
  bool digest = true;     // write a "SHA \n" section
  bool signature = true;  // write an "ELGA\n" section (demo key)
};
std::string BuildBlob(const BlobFiles& files, const BlobBuildOptions& options);
// Digest section only.
std::string BuildUnsignedBlob(const BlobFiles& files);

// The demo key pair from keys/demo-private.key (the test aborts when it
// cannot be read).
const BlobKey& DemoBlobKey();

// Where the table of contents ("TOC \n") starts in a well-formed blob, or
// std::string::npos.
std::size_t BlobBodyOffset(const std::string& blob);
// The table of contents and data area of a blob.
std::string BlobBody(const std::string& blob);
// A blob from given (name line without LF, content) sections and a body.
std::string AssembleBlob(
    const std::vector<std::pair<std::string, std::string>>& sections,
    const std::string& body);
// A copy with the byte at offset changed (xor with mask).
std::string CorruptBlob(std::string blob, std::size_t offset,
                        unsigned char mask = 0x01);
// zlib format, 15-bit window: what a fork's data is.
std::string ZlibCompress(const std::string& bytes);

}  // namespace brackenfold

#endif  // BRACKENFOLD_TESTS_SUPPORT_BLOB_BUILDER_H_
