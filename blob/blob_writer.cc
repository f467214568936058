#include "blob/blob_writer.h"

#include <cryptopp/gfpcrypt.h>
#include <cryptopp/sha.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "platform/unique_file.h"

namespace brackenfold {

namespace {

constexpr std::size_t kPiece = 65536;
constexpr std::uint64_t kMaxNumber = 2147483647;

bool ValidName(const std::string& name) {
  return !name.empty() && name.find('\n') == std::string::npos;
}

}  // namespace

CryptoPP::Integer DeriveSigningK(const CryptoPP::Integer& x,
                                 const CryptoPP::Integer& q,
                                 const std::string& digest) {
  // Crypto++'s deterministic DSA carries RFC 6979's generator; only its k
  // is used here, since the signature equation is the blob format's own.
  CryptoPP::DL_Algorithm_DSA_RFC6979<CryptoPP::Integer, CryptoPP::SHA1> rfc6979;
  CryptoPP::Integer e(reinterpret_cast<const unsigned char*>(digest.data()),
                      digest.size());
  return rfc6979.GenerateRandom(x, q, e);
}

// Collects the compressed data area: in a temporary file, or in memory when
// no file is given.
class BlobWriter::Spool {
 public:
  explicit Spool(std::FILE* file) : file_(file) {}

  bool Append(const unsigned char* bytes, std::size_t count) {
    size_ += count;
    if (file_ == nullptr) {
      memory_.append(reinterpret_cast<const char*>(bytes), count);
      return true;
    }
    return std::fwrite(bytes, 1, count, file_) == count;
  }
  std::uint64_t size() const { return size_; }
  bool Rewind() {
    read_position_ = 0;
    return file_ == nullptr || std::fseek(file_, 0, SEEK_SET) == 0;
  }
  std::size_t Read(unsigned char* buffer, std::size_t count) {
    if (file_ != nullptr) return std::fread(buffer, 1, count, file_);
    std::size_t left = memory_.size() - read_position_;
    if (count > left) count = left;
    memory_.copy(reinterpret_cast<char*>(buffer), count, read_position_);
    read_position_ += count;
    return count;
  }

 private:
  std::FILE* file_;
  std::string memory_;
  std::size_t read_position_ = 0;
  std::uint64_t size_ = 0;
};

bool BlobWriter::AddFork(const std::string& name, const std::string& fork,
                         Source source, std::string* error) {
  if (!ValidName(name) || !ValidName(fork)) {
    *error = "a file or fork name must be non-empty and hold no line break";
    return false;
  }
  if (!files_[name].emplace(fork, std::move(source)).second) {
    *error = "\"" + name + "\" (" + fork + ") is given twice";
    return false;
  }
  return true;
}

bool BlobWriter::AddFileFork(const std::string& name, const std::string& fork,
                             const std::string& path, std::string* error) {
  return AddFork(name, fork, Source{path, ""}, error);
}

bool BlobWriter::AddBytesFork(const std::string& name, const std::string& fork,
                              std::string bytes, std::string* error) {
  return AddFork(name, fork, Source{"", std::move(bytes)}, error);
}

bool BlobWriter::AddFile(const std::string& name, const std::string& path,
                         std::string* error) {
  return AddFileFork(name, "ALL_MAIN", path, error);
}

bool BlobWriter::AddBytes(const std::string& name, std::string bytes,
                          std::string* error) {
  return AddBytesFork(name, "ALL_MAIN", std::move(bytes), error);
}

bool BlobWriter::Write(Spool& spool, std::string* blob_out, std::FILE* file_out,
                       std::string* error) {
  digest_.clear();
  std::string toc;
  std::string head;
  return WriteDataArea(spool, &toc, error) &&
         MakeHead(spool, toc, &head, error) &&
         CopyOut(spool, head, blob_out, file_out, error);
}

bool BlobWriter::WriteDataArea(Spool& spool, std::string* toc,
                               std::string* error) {
  const std::uint64_t total = TotalBytes();
  *toc = "TOC \n";
  std::uint64_t done = 0;
  for (const auto& [name, forks] : files_) {
    *toc += "FILE\n" + name + "\n" + std::to_string(forks.size()) + "\n";
    for (const auto& [fork, source] : forks) {
      UniqueFile file;
      if (!source.path.empty()) {
        file = OpenUniqueFile(source.path, "rb");
        if (!file) {
          *error = "cannot read " + source.path;
          return false;
        }
      }
      std::uint64_t offset = spool.size();
      std::uint64_t uncompressed = 0;
      if (!CompressFork(spool, source, file.get(), total, &done, &uncompressed,
                        error)) {
        return false;
      }
      std::uint64_t compressed = spool.size() - offset;
      if (uncompressed > kMaxNumber || compressed > kMaxNumber ||
          offset > kMaxNumber) {
        *error = "\"" + name + "\" does not fit: a blob holds at most " +
                 "2147483647 bytes per fork and in its data area";
        return false;
      }
      *toc += fork + "\n" + std::to_string(offset) + "\n" +
              std::to_string(compressed) + "\n" + std::to_string(uncompressed) +
              "\n";
    }
  }
  *toc += "DATA\n";
  return true;
}

bool BlobWriter::CopyOut(Spool& spool, const std::string& head,
                         std::string* blob_out, std::FILE* file_out,
                         std::string* error) {
  std::vector<unsigned char> in(kPiece);
  std::size_t got;
  auto emit = [&](const void* bytes, std::size_t count) {
    if (blob_out != nullptr) {
      blob_out->append(static_cast<const char*>(bytes), count);
      return true;
    }
    return std::fwrite(bytes, 1, count, file_out) == count;
  };
  if (!emit(head.data(), head.size()) || !spool.Rewind()) {
    *error = "cannot write the blob";
    return false;
  }
  std::uint64_t read = 0;
  while ((got = spool.Read(in.data(), in.size())) > 0) {
    if (!emit(in.data(), got)) {
      *error = "cannot write the blob";
      return false;
    }
    read += got;
  }
  if (read != spool.size()) {
    *error = "cannot read back the temporary data file";
    return false;
  }
  return true;
}

std::uint64_t BlobWriter::TotalBytes() const {
  std::uint64_t total = 0;
  for (const auto& [name, forks] : files_) {
    for (const auto& [fork, source] : forks) {
      if (source.path.empty()) {
        total += source.bytes.size();
      } else {
        std::error_code ec;
        auto size = std::filesystem::file_size(source.path, ec);
        if (!ec) total += size;
      }
    }
  }
  return total;
}

bool BlobWriter::CompressFork(Spool& spool, const Source& source,
                              std::FILE* file, std::uint64_t total,
                              std::uint64_t* done, std::uint64_t* uncompressed,
                              std::string* error) {
  std::vector<unsigned char> in(kPiece), out(kPiece);
  std::size_t memory_position = 0;
  z_stream z = {};
  if (deflateInit(&z, Z_DEFAULT_COMPRESSION) != Z_OK) {
    *error = "zlib cannot start compressing";
    return false;
  }
  std::unique_ptr<z_stream, int (*)(z_stream*)> ender(&z, &deflateEnd);
  int flush = Z_NO_FLUSH;
  do {
    std::size_t got;
    if (file != nullptr) {
      got = std::fread(in.data(), 1, in.size(), file);
      if (got < in.size()) {
        if (std::ferror(file)) {
          *error = "error reading " + source.path;
          return false;
        }
        flush = Z_FINISH;
      }
    } else {
      got = source.bytes.copy(reinterpret_cast<char*>(in.data()), in.size(),
                              memory_position);
      memory_position += got;
      if (memory_position == source.bytes.size()) flush = Z_FINISH;
    }
    *uncompressed += got;
    z.next_in = in.data();
    z.avail_in = static_cast<uInt>(got);
    int result;
    do {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      result = deflate(&z, flush);
      if (result == Z_STREAM_ERROR) {
        *error = "zlib failed while compressing";
        return false;
      }
      if (!spool.Append(out.data(), out.size() - z.avail_out)) {
        *error = "cannot write the temporary data file";
        return false;
      }
    } while (z.avail_out == 0);
    *done += got;
    if (progress_) progress_(*done, total);
  } while (flush != Z_FINISH);
  return true;
}

bool BlobWriter::MakeHead(Spool& spool, const std::string& toc,
                          std::string* head_out, std::string* error) {
  std::vector<unsigned char> in(kPiece);
  // The digest covers the table and the data area.
  CryptoPP::SHA1 sha;
  sha.Update(reinterpret_cast<const unsigned char*>(toc.data()), toc.size());
  if (!spool.Rewind()) {
    *error = "cannot read back the temporary data file";
    return false;
  }
  std::size_t got;
  std::uint64_t read = 0;
  while ((got = spool.Read(in.data(), in.size())) > 0) {
    sha.Update(in.data(), got);
    read += got;
  }
  if (read != spool.size()) {  // a read error ends the loop like the end
    *error = "cannot read back the temporary data file";
    return false;
  }
  digest_.assign(20, '\0');
  sha.Final(reinterpret_cast<unsigned char*>(&digest_[0]));

  std::string head = "VantoriumBlob\n1\n";
  int sections = (digest_section_ ? 1 : 0) + (key_ != nullptr ? 1 : 0);
  head += std::to_string(sections) + "\n";
  if (digest_section_) head += "SHA \n20\n" + digest_;
  if (key_ != nullptr) {
    std::string signature;
    // A k that gives r = 0 has a chance of about 2^-164.
    if (!SignBlobDigestWithK(*key_, digest_,
                             DeriveSigningK(key_->x, key_->q, digest_),
                             &signature)) {
      *error = "the key cannot sign this digest";
      return false;
    }
    head += "ELGA\n" + std::to_string(signature.size()) + "\n" + signature;
  }
  head += toc;
  *head_out = std::move(head);

  return true;
}

bool BlobWriter::WriteToString(std::string* blob, std::string* error) {
  Spool spool(nullptr);
  blob->clear();
  return Write(spool, blob, nullptr, error);
}

bool BlobWriter::WriteToFile(const std::string& path, std::string* error) {
  std::string spool_path = path + ".spool~";
  std::string part_path = path + ".part~";
  bool ok = false;
  {
    UniqueFile spool_file = OpenUniqueFile(spool_path, "w+b");
    UniqueFile out = OpenUniqueFile(part_path, "wb");
    if (!spool_file || !out) {
      *error = "cannot create temporary files beside " + path;
    } else {
      Spool spool(spool_file.get());
      ok = Write(spool, nullptr, out.get(), error);
      if (ok && (std::fflush(out.get()) != 0 || std::ferror(out.get()))) {
        *error = "cannot write " + path;
        ok = false;
      }
      std::FILE* raw = out.release();
      if (std::fclose(raw) != 0 && ok) {
        *error = "cannot write " + path;
        ok = false;
      }
    }
  }
  std::remove(spool_path.c_str());
  if (ok && std::rename(part_path.c_str(), path.c_str()) != 0) {
    *error = "cannot move the finished blob to " + path;
    ok = false;
  }
  if (!ok) std::remove(part_path.c_str());
  return ok;
}

}  // namespace brackenfold
