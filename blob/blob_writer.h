// BlobWriter: makes a component blob. Files are added under their names in the
// blob ("/" between parts), each fork from a file on disk or from bytes in
// memory. Writing compresses every fork in pieces into a spool (a temporary
// file beside the output, or memory for WriteToString), so payloads of any
// size need constant memory; then it writes the magic and version lines, the
// signature sections ("SHA \n" digest, "ELGA\n" signature when a key is set),
// the table of contents and the data area. Failures are false with a message;
// WriteToFile never leaves a partial blob at the output path.
//
// The output depends on nothing but the files, their bytes and the key: files
// go in by name in byte order, nothing is taken from the clock or the
// environment, and the signature's k is derived from the private key and the
// digest (DeriveSigningK), so the same inputs give the same blob byte for byte.
#ifndef BRACKENFOLD_BLOB_BLOB_WRITER_H_
#define BRACKENFOLD_BLOB_BLOB_WRITER_H_

#include <cryptopp/integer.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "blob/blob_key.h"

namespace brackenfold {

// The k with which the writer signs digest: RFC 6979's HMAC-DRBG (section
// 3.2) over x and the digest with HMAC-SHA-1, SHA-1 being the digest's hash,
// giving the first candidate in [1, q-1].
CryptoPP::Integer DeriveSigningK(const CryptoPP::Integer& x,
                                 const CryptoPP::Integer& q,
                                 const std::string& digest);

class BlobWriter {
 public:
  // Called now and then with the bytes read so far and the total to read.
  using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

  BlobWriter() = default;
  BlobWriter(const BlobWriter&) = delete;
  BlobWriter& operator=(const BlobWriter&) = delete;

  // A fork whose bytes are read from path when Write runs. False (with a
  // message) for an empty name, a name holding LF, or a fork already added.
  bool AddFileFork(const std::string& name, const std::string& fork,
                   const std::string& path, std::string* error);
  // A fork whose bytes are given now.
  bool AddBytesFork(const std::string& name, const std::string& fork,
                    std::string bytes, std::string* error);
  bool AddFile(const std::string& name, const std::string& path,
               std::string* error);
  bool AddBytes(const std::string& name, std::string bytes, std::string* error);

  // The key to sign with (kept by the caller); null writes no "ELGA\n".
  void SetSigningKey(const BlobKey* key) { key_ = key; }
  // Whether to write the "SHA \n" section (default true).
  void SetDigestSection(bool on) { digest_section_ = on; }
  void SetProgress(Progress progress) { progress_ = std::move(progress); }

  bool WriteToFile(const std::string& path, std::string* error);
  bool WriteToString(std::string* blob, std::string* error);

  // The 20-byte digest and the signature of the last write (empty when none).
  const std::string& GetDigest() const { return digest_; }

 private:
  struct Source {
    std::string path;   // read from here when not empty
    std::string bytes;  // otherwise these
  };
  class Spool;

  bool AddFork(const std::string& name, const std::string& fork, Source source,
               std::string* error);
  bool Write(Spool& spool, std::string* blob_out, std::FILE* file_out,
             std::string* error);
  // Compresses every fork onto the spool, in name order, and makes the table
  // of contents that places them.
  bool WriteDataArea(Spool& spool, std::string* toc, std::string* error);
  // The bytes to read, as far as the files' sizes tell.
  std::uint64_t TotalBytes() const;
  // Deflates one fork's bytes (from file when not null, else from
  // source.bytes) onto the spool; *done and the progress advance.
  bool CompressFork(Spool& spool, const Source& source, std::FILE* file,
                    std::uint64_t total, std::uint64_t* done,
                    std::uint64_t* uncompressed, std::string* error);
  // Computes digest_ over toc and the spool, and makes everything before the
  // data area: magic, version, signature sections and toc.
  bool MakeHead(Spool& spool, const std::string& toc, std::string* head,
                std::string* error);
  // Writes head and then the spool's data area to blob_out when it is not
  // null, else to file_out.
  bool CopyOut(Spool& spool, const std::string& head, std::string* blob_out,
               std::FILE* file_out, std::string* error);

  std::map<std::string, std::map<std::string, Source>> files_;
  const BlobKey* key_ = nullptr;
  bool digest_section_ = true;
  Progress progress_;
  std::string digest_;
};

}  // namespace brackenfold

#endif  // BRACKENFOLD_BLOB_BLOB_WRITER_H_
