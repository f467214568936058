// bfold's blob commands: keygen, pack, verify, list and extract.
#include <cryptopp/osrng.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "blob/blob_key.h"
#include "blob/blob_reader.h"
#include "blob/blob_signature.h"
#include "blob/blob_writer.h"
#include "blob/leading_integer.h"
#include "component/descriptor.h"
#include "tools/bfold/commands.h"
#include "tools/bfold/json_output.h"

namespace brackenfold {

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kProgressThreshold = 16 << 20;
constexpr std::uint32_t kMaxShownDescriptor = 64 << 10;

// Errors read "bfold COMMAND: FILE: what is wrong".
[[noreturn]] void Fail(const char* command, int code,
                       const std::string& message) {
  std::fprintf(stderr, "bfold %s: %s\n", command, message.c_str());
  throw CLI::RuntimeError(code);
}

using FileCloser = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

FileCloser OpenFile(const std::string& path, const char* mode) {
  return FileCloser(std::fopen(path.c_str(), mode), &std::fclose);
}

// A one-line progress display on stderr, shown only on a terminal and for
// large jobs, redrawn at most a few times a second.
class Progress {
 public:
  Progress(const char* verb, std::uint64_t total)
      : verb_(verb),
        total_(total),
        enabled_(total >= kProgressThreshold && isatty(fileno(stderr))) {}
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress() {
    if (shown_) std::fprintf(stderr, "\r%60s\r", "");
  }

  void Update(std::uint64_t done) {
    if (!enabled_) return;
    auto now = std::chrono::steady_clock::now();
    if (shown_ && done < total_ &&
        now - last_ < std::chrono::milliseconds(200)) {
      return;
    }
    last_ = now;
    shown_ = true;
    std::fprintf(stderr, "\r%s %3d%% (%llu of %llu MiB)", verb_,
                 static_cast<int>(total_ ? done * 100 / total_ : 100),
                 static_cast<unsigned long long>(done >> 20),
                 static_cast<unsigned long long>(total_ >> 20));
    std::fflush(stderr);
  }

 private:
  const char* verb_;
  std::uint64_t total_;
  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_;
};

// A blob file opened for reading, with its reader, whose "ELGA\n" sections
// verify against the key given (kBlobPublicKeySize bytes, kept by the caller).
class OpenedBlob {
 public:
  OpenedBlob(const char* command, const std::string& path,
             const std::string& key)
      : file_(OpenFile(path, "rb")), key_(key) {
    if (!file_) {
      Fail(command, kExitFailed,
           path + ": cannot open: " + std::strerror(errno));
    }
    reader_ = FreshReader();
  }
  BlobReader& reader() { return *reader_; }
  // A second, fresh reader over the same file.
  std::unique_ptr<BlobReader> FreshReader() {
    return std::make_unique<BlobReader>(
        StdioBlobStream(file_.get()),
        reinterpret_cast<const unsigned char*>(key_.data()));
  }

 private:
  FileCloser file_;
  const std::string& key_;
  std::unique_ptr<BlobReader> reader_;
};

// The built-in key, or the 421-byte DER file given with --key.
std::string PublicKeyBytes(const char* command, const std::string& path) {
  if (path.empty()) {
    return std::string(reinterpret_cast<const char*>(BlobPublicKey),
                       kBlobPublicKeySize);
  }
  std::string der, error;
  BlobKey key;
  if (!ReadWholeFile(path, &der)) {
    Fail(command, kExitFailed, path + ": cannot read");
  }
  if (!DecodeBlobPublicKey(der, &key, &error)) {
    Fail(command, kExitFailed, path + ": not a blob public key: " + error);
  }
  return der;
}

BlobKey PrivateKey(const std::string& path) {
  std::string text, error;
  BlobKey key;
  if (!ReadWholeFile(path, &text)) {
    Fail("pack", kExitFailed, path + ": cannot read");
  }
  if (!ParseBlobPrivateKey(text, &key, &error)) {
    Fail("pack", kExitFailed, path + ": " + error);
  }
  return key;
}

// Every fork in table order.
struct ForkEntry {
  std::string file;
  ForkRecord fork;
};
std::vector<ForkEntry> AllForks(const BlobReader& reader) {
  std::vector<ForkEntry> forks;
  for (const auto& [name, file] : reader.GetFiles()) {
    for (const auto& [fork_name, fork] : file.forks) {
      forks.push_back({file.name, fork});
    }
  }
  return forks;
}

// Counts bytes and passes them on to a stdio stream when it has one.
struct CountingSink {
  std::FILE* file = nullptr;
  std::uint64_t bytes = 0;
  std::uint64_t base = 0;
  Progress* progress = nullptr;
};
bool CountBytes(void* context, const char* bytes, std::size_t count) {
  auto* sink = static_cast<CountingSink*>(context);
  if (sink->file != nullptr && !FileSink(sink->file, bytes, count)) {
    return false;
  }
  sink->bytes += count;
  if (sink->progress) sink->progress->Update(sink->base + sink->bytes);
  return true;
}

bool ReadText(BlobReader& reader, const std::string& name, std::string* text) {
  ForkRecord fork;
  if (!reader.FindFork(name, kMainFork, &fork) ||
      fork.uncompressed_size > kMaxShownDescriptor) {
    return false;
  }
  TextSinkContext context{text};
  return reader.ExtractFork(&TextSink, &context, name, kMainFork);
}

// A --version value: a bare decimal number of the signed 32-bit range.
bool IsWholeNumber(const std::string& text) {
  LeadingInteger number = ReadLeadingInteger(text);
  return number.exact && number.in_range;
}

// --- keygen -----------------------------------------------------------------

struct KeygenOptions {
  std::string public_path;
  std::string private_path;
  bool force = false;
};

void WriteNewFile(const std::string& path, const std::string& bytes, bool force,
                  int mode) {
  if (force) std::remove(path.c_str());
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
  if (fd < 0) {
    Fail("keygen", kExitFailed,
         path + ": cannot create: " + std::strerror(errno) +
             (errno == EEXIST ? " (use --force to replace it)" : ""));
  }
  std::size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n <= 0) {
      ::close(fd);
      std::remove(path.c_str());
      Fail("keygen", kExitFailed, path + ": cannot write");
    }
    written += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) Fail("keygen", kExitFailed, path + ": cannot write");
}

void RunKeygen(const KeygenOptions& options) {
  if (options.public_path == options.private_path) {
    Fail("keygen", kExitUsage,
         "--public and --private must name different files");
  }
  if (!options.force) {
    for (const std::string& path :
         {options.public_path, options.private_path}) {
      if (fs::exists(path)) {
        Fail("keygen", kExitFailed,
             path + ": exists (use --force to replace it)");
      }
    }
  }
  CryptoPP::AutoSeededRandomPool rng;
  BlobKey key;
  if (!GenerateBlobKey(rng, &key)) {
    Fail("keygen", kExitFailed, "key generation failed");
  }
  WriteNewFile(options.private_path, FormatBlobPrivateKey(key), options.force,
               0600);
  WriteNewFile(options.public_path, EncodeBlobPublicKey(key), options.force,
               0644);
  std::printf("wrote public key %s (421 bytes) and private key %s\n",
              options.public_path.c_str(), options.private_path.c_str());
}

// --- pack -------------------------------------------------------------------

struct PackOptions {
  std::string directory;
  std::string out;
  std::string key_path;
  bool unsigned_blob = false;
  std::map<std::string, std::string> values;  // descriptor name -> value
  std::vector<std::string> prereq;
  std::vector<std::string> expose;
  bool prereq_given = false;
  bool expose_given = false;
};

void RunPack(PackOptions& options) {
  if (options.key_path.empty() && !options.unsigned_blob) {
    Fail("pack", kExitUsage, "give --key PRIVATE to sign, or --unsigned");
  }
  if (!options.key_path.empty() && options.unsigned_blob) {
    Fail("pack", kExitUsage, "--key and --unsigned exclude each other");
  }
  // name in the blob -> file on disk, or bytes
  std::map<std::string, std::string> disk_files;
  std::map<std::string, std::string> descriptor_values;
  if (!options.directory.empty()) {
    std::error_code ec;
    if (!fs::is_directory(options.directory, ec)) {
      Fail("pack", kExitFailed, options.directory + ": not a directory");
    }
    fs::recursive_directory_iterator it(options.directory, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      if (!it->is_regular_file(ec)) continue;
      std::string name =
          fs::relative(it->path(), options.directory, ec).generic_string();
      if (name.find('\n') != std::string::npos) {
        Fail("pack", kExitFailed,
             it->path().string() + ": name holds a line break");
      }
      if (!IsSafePayloadName(name)) {
        Fail("pack", kExitFailed,
             it->path().string() +
                 ": the installer refuses this name (absolute, a \"..\" or "
                 "empty part, or a NUL byte; \"\\\" separates parts)");
      }
      disk_files[name] = it->path().string();
    }
    if (ec) Fail("pack", kExitFailed, options.directory + ": " + ec.message());
  }
  if (options.prereq_given) {
    std::string text;
    for (const std::string& line : options.prereq) {
      if (line.empty()) continue;  // --prereq "" asks for an empty list
      Prerequisite parsed;
      if (!ParsePrerequisiteLine(line, &parsed) ||
          line.find_first_of("\r\n") != std::string::npos) {
        Fail("pack", kExitUsage,
             "--prereq \"" + line +
                 "\": expected REQUIRED,ID,VERSION (e.g. 1,core,3)");
      }
      text += line + "\n";
    }
    options.values["prereq"] = text;
  }
  if (options.expose_given) {
    std::string text;
    for (const std::string& line : options.expose) {
      std::string registered, payload;
      if (!ParseExposeLine(line, &registered, &payload)) {
        Fail("pack", kExitUsage,
             "--expose \"" + line +
                 "\": expected REGISTERED,FILE with letters, "
                 "digits and _-./ only");
      }
      text += line + "\n";
    }
    options.values["expose"] = text;
  }
  if (options.values.count("version") &&
      !IsWholeNumber(options.values["version"])) {
    Fail("pack", kExitUsage,
         "--version \"" + options.values["version"] +
             "\": expected a whole number");
  }
  for (const auto& [key, value] : options.values) {
    std::string name = kDescriptorPrefix + key;
    if (disk_files.count(name)) {
      Fail(
          "pack", kExitUsage,
          name + " is given both as --" + key + " and in " + options.directory);
    }
    descriptor_values[name] = value;
  }
  auto present = [&](const std::string& name) {
    return disk_files.count(name) || descriptor_values.count(name);
  };
  if (!present("component/prereq")) descriptor_values["component/prereq"] = "";
  std::string missing;
  for (const char* key : {"id", "version", "title", "description"}) {
    if (!present(kDescriptorPrefix + std::string(key))) {
      missing += std::string(missing.empty() ? "" : ", ") + "--" + key;
    }
  }
  if (!missing.empty()) {
    Fail("pack", kExitUsage,
         "the component needs " + missing +
             " (or the files under component/ in the directory)");
  }
  std::size_t payload = 0;
  for (const auto& [name, path] : disk_files) {
    if (!IsDescriptorName(name)) ++payload;
  }
  auto initialize = descriptor_values.find("component/initialize");
  if (initialize != descriptor_values.end() &&
      (!disk_files.count(initialize->second) ||
       IsDescriptorName(initialize->second))) {
    Fail("pack", kExitUsage,
         "--initialize \"" + initialize->second +
             "\" is not a payload file of the blob");
  }

  BlobWriter writer;
  std::string error;
  for (const auto& [name, path] : disk_files) {
    if (!writer.AddFile(name, path, &error)) Fail("pack", kExitFailed, error);
  }
  for (const auto& [name, value] : descriptor_values) {
    if (!writer.AddBytes(name, value, &error)) Fail("pack", kExitFailed, error);
  }
  BlobKey key;
  if (!options.key_path.empty()) {
    key = PrivateKey(options.key_path);
    writer.SetSigningKey(&key);
  }
  std::uint64_t total = 0;
  for (const auto& [name, path] : disk_files) {
    std::error_code ec;
    auto size = fs::file_size(path, ec);
    if (!ec) total += size;
  }
  {
    Progress progress("packing", total);
    writer.SetProgress([&progress](std::uint64_t done, std::uint64_t) {
      progress.Update(done);
    });
    if (!writer.WriteToFile(options.out, &error)) {
      Fail("pack", kExitFailed, options.out + ": " + error);
    }
  }
  std::error_code ec;
  std::printf(
      "wrote %s: %zu payload and %zu descriptor files, %llu bytes, %s\n",
      options.out.c_str(), payload,
      disk_files.size() + descriptor_values.size() - payload,
      static_cast<unsigned long long>(fs::file_size(options.out, ec)),
      options.key_path.empty() ? "digest only (unsigned)" : "signed");
  if (!options.key_path.empty() &&
      EncodeBlobPublicKey(key) !=
          std::string(reinterpret_cast<const char*>(BlobPublicKey),
                      kBlobPublicKeySize)) {
    std::fprintf(
        stderr,
        "bfold pack: note: the key is not the one built into this bfold; "
        "installers built with its public key accept the blob\n");
  }
}

// --- verify and list: how a blob stands against a key ---------------------

// The two checks behind every verdict bfold gives: the installer's (a valid
// signature required, every section present verified), then, unless that
// found a fault, whether a digest section is there.
struct Standing {
  BlobVerdict signature = BlobVerdict::Malformed;
  BlobVerdict digest = BlobVerdict::Malformed;
};

BlobVerdict Verdict(OpenedBlob& blob, BlobCheck required_check) {
  std::unique_ptr<BlobReader> reader = blob.FreshReader();
  reader->Open(required_check, false);
  return reader->GetVerdict();
}

Standing CheckStanding(OpenedBlob& blob) {
  Standing standing;
  standing.signature = Verdict(blob, BlobCheck::Signature);
  if (standing.signature == BlobVerdict::Ok ||
      standing.signature == BlobVerdict::SignatureMissing) {
    standing.digest = Verdict(blob, BlobCheck::Digest);
  }
  return standing;
}

std::string KeyName(const std::string& key_path) {
  return key_path.empty() ? "built-in" : key_path;
}

// One line for people: valid, unsigned (said plainly), or the failed check.
std::string StandingText(const Standing& standing) {
  bool digest = standing.digest == BlobVerdict::Ok;
  if (standing.signature == BlobVerdict::Ok) {
    return digest ? "digest and signature verified"
                  : "signature verified (no digest section)";
  }
  if (standing.signature == BlobVerdict::SignatureMissing) {
    return digest ? "UNSIGNED: no signature section, only a digest (which "
                    "matches); the installer refuses it"
                  : "UNSIGNED: no signature or digest section; the installer "
                    "refuses it";
  }
  return std::string("FAILED: ") + BlobVerdictText(standing.signature);
}

struct BlobQuery {
  std::string blob;
  std::string key_path;
  bool json = false;
};

// --- verify -----------------------------------------------------------------

void RunVerify(const BlobQuery& query) {
  std::string key = PublicKeyBytes("verify", query.key_path);
  OpenedBlob blob("verify", query.blob, key);
  Standing standing = CheckStanding(blob);
  Json document = {
      {"blob", JsonText(query.blob)},
      {"signature", SignatureJson(standing.signature, standing.digest,
                                  KeyName(query.key_path))},
      {"data", nullptr}};
  auto finish = [&](bool ok, const std::string& failure) {
    document["ok"] = ok;
    if (query.json) PrintJson(document);
    if (!ok) {
      if (query.json) throw CLI::RuntimeError(kExitFailed);
      Fail("verify", kExitFailed, query.blob + ": FAILED: " + failure);
    }
  };
  if (standing.signature != BlobVerdict::Ok) {
    finish(false, BlobVerdictText(standing.signature));
  }
  // Every fork inflates to exactly its recorded sizes.
  BlobReader& reader = blob.reader();
  reader.Open(BlobCheck::None, true);
  std::vector<ForkEntry> forks = AllForks(reader);
  std::uint64_t total = 0;
  for (const auto& entry : forks) total += entry.fork.uncompressed_size;
  Progress progress("verifying", total);
  CountingSink sink;
  sink.progress = &progress;
  for (const auto& entry : forks) {
    sink.base += sink.bytes;
    sink.bytes = 0;
    if (!reader.ExtractFork(&CountBytes, &sink, entry.file, entry.fork.name)) {
      document["data"] = {{"ok", false},
                          {"file", JsonText(entry.file)},
                          {"fork", JsonText(entry.fork.name)}};
      finish(false, "format: \"" + entry.file + "\" (" + entry.fork.name +
                        ") does not inflate to its recorded sizes");
    }
  }
  document["data"] = {{"ok", true}, {"files", reader.GetFiles().size()}};
  finish(true, "");
  if (!query.json) {
    std::printf("%s: OK: %s, %zu files\n", query.blob.c_str(),
                StandingText(standing).c_str(), reader.GetFiles().size());
  }
}

// --- list -------------------------------------------------------------------

void RunList(const BlobQuery& query) {
  std::string key = PublicKeyBytes("list", query.key_path);
  OpenedBlob blob("list", query.blob, key);
  BlobReader& reader = blob.reader();
  if (!reader.Open(BlobCheck::None, true)) {
    Fail("list", kExitFailed,
         query.blob + ": " + BlobVerdictText(BlobVerdict::Malformed));
  }
  Standing standing = CheckStanding(blob);
  if (query.json) {
    PrintJson({{"blob", JsonText(query.blob)},
               {"files", FilesJson(reader)},
               {"component", ComponentJson(query.blob)},
               {"signature", SignatureJson(standing.signature, standing.digest,
                                           KeyName(query.key_path))}});
    return;
  }
  std::printf("%12s %12s  %-15s %s\n", "SIZE", "COMPRESSED", "FORK", "NAME");
  std::uint64_t size = 0, compressed = 0;
  for (const auto& entry : AllForks(reader)) {
    std::printf("%12u %12u  %-15s %s\n", entry.fork.uncompressed_size,
                entry.fork.compressed_size, entry.fork.name.c_str(),
                entry.file.c_str());
    size += entry.fork.uncompressed_size;
    compressed += entry.fork.compressed_size;
  }
  std::printf(
      "%12llu %12llu  %zu files\n", static_cast<unsigned long long>(size),
      static_cast<unsigned long long>(compressed), reader.GetFiles().size());
  bool header = false;
  for (const char* name_key : {"id", "version", "title", "description",
                               "prereq", "initialize", "platform", "expose"}) {
    std::string name = kDescriptorPrefix + std::string(name_key), value;
    if (!reader.HasFork(name, kMainFork)) continue;
    if (!header) std::printf("\ncomponent:\n");
    header = true;
    if (!ReadText(reader, name, &value)) {
      std::printf("  %s: (unreadable or too long)\n", name_key);
      continue;
    }
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) {
      value.pop_back();
    }
    std::string shown;
    for (char c : value) {
      if (c == '\n') {
        shown += "\n    ";
      } else if (c != '\r') {
        shown += c;
      }
    }
    bool multi_line = shown.find('\n') != std::string::npos;
    std::printf("  %s:%s%s\n", name_key, multi_line ? "\n    " : " ",
                shown.c_str());
  }
  std::printf("\nsignature (%s key): %s\n",
              query.key_path.empty() ? "built-in" : query.key_path.c_str(),
              StandingText(standing).c_str());
}

// --- extract ----------------------------------------------------------------

struct ExtractOptions {
  std::string blob;
  std::string directory;
  std::vector<std::string> names;
  std::string key_path;
  std::string fork = kMainFork;
  std::string output;  // one file to this path, "-" for standard output
  bool no_verify = false;
};

// Writes one fork to the -o path or standard output; a failed extraction
// leaves no file.
void ExtractToOutput(const ExtractOptions& options, BlobReader& reader,
                     const std::string& name, std::uint64_t size) {
  bool to_stdout = options.output == "-";
  FileCloser out(nullptr, &std::fclose);
  if (!to_stdout) out = OpenFile(options.output, "wb");
  if (!to_stdout && !out) {
    Fail("extract", kExitFailed,
         options.output + ": cannot create: " + std::strerror(errno));
  }
  Progress progress("extracting", size);
  CountingSink sink;
  sink.progress = &progress;
  sink.file = to_stdout ? stdout : out.get();
  bool ok = reader.ExtractFork(&CountBytes, &sink, name, options.fork);
  if (to_stdout) {
    ok = std::fflush(stdout) == 0 && ok;
  } else if (std::fclose(out.release()) != 0) {
    ok = false;
  }
  if (!ok) {
    if (!to_stdout) std::remove(options.output.c_str());
    Fail("extract", kExitFailed,
         options.blob + ": \"" + name + "\" (" + options.fork +
             ") does not extract (corrupt data, sizes that do not match, or "
             "a write error)" +
             (to_stdout ? "" : "; nothing kept"));
  }
}

void RunExtract(const ExtractOptions& options) {
  if (!options.output.empty() &&
      (options.names.size() != 1 || !options.directory.empty())) {
    Fail("extract", kExitUsage,
         "-o takes exactly one NAME, and no --dir (e.g. bfold extract BLOB "
         "-o - component/id)");
  }
  std::string directory = options.directory.empty() ? "." : options.directory;
  std::string key = PublicKeyBytes("extract", options.key_path);
  OpenedBlob blob("extract", options.blob, key);
  BlobReader& reader = blob.reader();
  if (options.no_verify) {
    if (!reader.Open(BlobCheck::None, true)) {
      Fail("extract", kExitFailed,
           options.blob + ": " + BlobVerdictText(BlobVerdict::Malformed));
    }
  } else {
    // A valid signature is required, and every section present must verify.
    reader.Open(BlobCheck::Signature, false);
    BlobVerdict verdict = reader.GetVerdict();
    if (verdict == BlobVerdict::SignatureMissing) {
      Fail("extract", kExitFailed,
           options.blob + ": " + BlobVerdictText(verdict) +
               "; an unsigned blob is extracted only with --no-verify");
    }
    if (verdict != BlobVerdict::Ok) {
      Fail("extract", kExitFailed,
           options.blob + ": " + BlobVerdictText(verdict) +
               " (--key for another signer's key; --no-verify to skip the "
               "check)");
    }
  }
  std::vector<std::string> names = options.names;
  if (names.empty()) {
    for (const auto& [name, file] : reader.GetFiles()) {
      if (file.forks.count(options.fork)) names.push_back(file.name);
    }
  }
  std::uint64_t total = 0;
  for (const std::string& name : names) {
    ForkRecord fork;
    if (!reader.FindFork(name, options.fork, &fork)) {
      Fail("extract", kExitFailed,
           options.blob + ": no file \"" + name + "\"" +
               (reader.GetFiles().count(name)
                    ? " with a " + options.fork + " fork"
                    : "") +
               " in the blob");
    }
    if (options.output.empty() && !IsSafePayloadName(name)) {
      Fail("extract", kExitFailed,
           options.blob + ": refusing to write \"" + name +
               "\": absolute or \"..\" names leave the directory (-o FILE "
               "writes it elsewhere)");
    }
    total += fork.uncompressed_size;
  }
  if (!options.output.empty()) {
    ExtractToOutput(options, reader, names.front(), total);
    return;
  }
  Progress progress("extracting", total);
  CountingSink sink;
  sink.progress = &progress;
  int failures = 0;
  for (const std::string& name : names) {
    fs::path target = fs::path(directory) / fs::path(name);
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    FileCloser out = OpenFile(target.string(), "wb");
    if (!out) {
      std::fprintf(stderr, "bfold extract: %s: cannot create: %s\n",
                   target.string().c_str(), std::strerror(errno));
      ++failures;
      continue;
    }
    sink.file = out.get();
    sink.base += sink.bytes;
    sink.bytes = 0;
    bool ok = reader.ExtractFork(&CountBytes, &sink, name, options.fork);
    if (std::fclose(out.release()) != 0) ok = false;
    if (!ok) {
      std::remove(target.string().c_str());
      std::fprintf(stderr,
                   "bfold extract: %s: \"%s\" does not extract (corrupt data, "
                   "sizes that do not match, or a write error); nothing kept\n",
                   options.blob.c_str(), name.c_str());
      ++failures;
    }
  }
  if (failures > 0) throw CLI::RuntimeError(kExitFailed);
  std::printf("extracted %zu files into %s\n", names.size(), directory.c_str());
}

}  // namespace

void AddBlobCommands(CLI::App& app) {
  auto keygen_options = std::make_shared<KeygenOptions>();
  CLI::App* keygen = app.add_subcommand(
      "keygen",
      "Make a new blob signing key pair (DER public key, private key file)");
  keygen
      ->add_option("--public", keygen_options->public_path,
                   "Where to write the 421-byte DER public key")
      ->required();
  keygen
      ->add_option("--private", keygen_options->private_path,
                   "Where to write the private key (mode 0600)")
      ->required();
  keygen->add_flag("--force", keygen_options->force, "Replace existing files");
  keygen->footer(
      "Example:\n"
      "  bfold keygen --public publisher.der --private publisher.key");
  keygen->callback([keygen_options] { RunKeygen(*keygen_options); });

  auto pack_options = std::make_shared<PackOptions>();
  CLI::App* pack = app.add_subcommand(
      "pack",
      "Make a signed component blob from a directory and/or descriptor values");
  pack->add_option("DIR", pack_options->directory,
                   "Directory of files; those under component/ are descriptor "
                   "files, all others payload");
  pack->add_option("-o,--out", pack_options->out, "Blob file to write")
      ->required();
  pack->add_option("--key", pack_options->key_path,
                   "Private key file to sign with");
  pack->add_flag("--unsigned", pack_options->unsigned_blob,
                 "Write a digest but no signature");
  for (const char* key :
       {"id", "version", "title", "description", "initialize", "platform"}) {
    std::string flag = std::string("--") + key;
    pack->add_option_function<std::string>(
        flag,
        [pack_options, key](const std::string& value) {
          pack_options->values[key] = value;
        },
        std::string("Value of component/") + key);
  }
  pack->add_option_function<std::vector<std::string>>(
          "--prereq",
          [pack_options](const std::vector<std::string>& lines) {
            pack_options->prereq = lines;
            pack_options->prereq_given = true;
          },
          "A prerequisite line REQUIRED,ID,VERSION (repeatable; \"\" for none)")
      ->allow_extra_args(false);
  pack->add_option_function<std::vector<std::string>>(
          "--expose",
          [pack_options](const std::vector<std::string>& lines) {
            pack_options->expose = lines;
            pack_options->expose_given = true;
          },
          "An expose line REGISTERED,FILE (repeatable)")
      ->allow_extra_args(false);
  pack->footer(
      "Packing is reproducible: the same files, options and key give the "
      "same blob byte for byte.\n\n"
      "Examples:\n"
      "  bfold pack src -o viewer.blob --key publisher.key --id viewer "
      "--version 3 --title Viewer --description 'The viewer' --prereq "
      "1,core,2\n\n"
      "  bfold pack -o test.blob --unsigned --id t --version 1 --title T "
      "--description D");
  pack->callback([pack_options] { RunPack(*pack_options); });

  auto verify_query = std::make_shared<BlobQuery>();
  CLI::App* verify = app.add_subcommand(
      "verify",
      "Check a blob's digest, signature and data; says which check failed");
  verify->add_option("BLOB", verify_query->blob, "Blob file")->required();
  verify->add_option("--key", verify_query->key_path,
                     "DER public key to check against (default: the built-in "
                     "key)");
  verify->add_flag("--json", verify_query->json,
                   "Print the verdict as JSON (see docs/blob-format.md)");
  verify->footer(
      "Examples:\n"
      "  bfold verify viewer.blob\n\n"
      "  bfold verify --key publisher.der --json viewer.blob");
  verify->callback([verify_query] { RunVerify(*verify_query); });

  auto list_query = std::make_shared<BlobQuery>();
  CLI::App* list = app.add_subcommand(
      "list",
      "Show a blob's table of contents, descriptor values and whether it is "
      "signed");
  list->add_option("BLOB", list_query->blob, "Blob file")->required();
  list->add_option("--key", list_query->key_path,
                   "DER public key for the signature (default: built-in)");
  list->add_flag("--json", list_query->json,
                 "Print files, forks, sizes, the component as the installer "
                 "reads it, and the signature verdict as JSON");
  list->footer(
      "Examples:\n"
      "  bfold list viewer.blob\n\n"
      "  bfold list --json viewer.blob | jq .component.id");
  list->callback([list_query] { RunList(*list_query); });

  auto extract_options = std::make_shared<ExtractOptions>();
  CLI::App* extract = app.add_subcommand(
      "extract",
      "Write a blob's files (all, or the NAMES given) into a directory, or one "
      "file to -o; existing files are replaced. Needs a valid signature "
      "unless --no-verify is given");
  extract->add_option("BLOB", extract_options->blob, "Blob file")->required();
  extract->add_option("NAMES", extract_options->names,
                      "Files to extract (default: all)");
  extract->add_option("-d,--dir", extract_options->directory,
                      "Destination directory (default: the current one)");
  extract->add_option("-o,--output", extract_options->output,
                      "Write the one NAME given to this file; - for standard "
                      "output");
  extract->add_option("--fork", extract_options->fork,
                      "Fork to extract: ALL_MAIN (default), MACOS_RESOURCE, "
                      "MACOS_FINDER or UNIX_EXECUTABLE");
  extract->add_option("--key", extract_options->key_path,
                      "DER public key for the signature (default: built-in)");
  extract->add_flag("--no-verify", extract_options->no_verify,
                    "Extract without checking the digest and signature");
  extract->footer(
      "Examples:\n"
      "  bfold extract viewer.blob -d out\n\n"
      "  bfold extract viewer.blob -o - component/id\n\n"
      "  bfold extract viewer.blob --fork MACOS_RESOURCE -o icon.rsrc "
      "Viewer.app");
  extract->callback([extract_options] { RunExtract(*extract_options); });
}

}  // namespace brackenfold
