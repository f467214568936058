// bfold keygen and pack: making signing keys and signed component blobs.
#include <cryptopp/osrng.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "blob/blob_key.h"
#include "blob/blob_writer.h"
#include "blob/leading_integer.h"
#include "component/descriptor.h"
#include "tools/bfold/blob_tool.h"
#include "tools/bfold/commands.h"

namespace brackenfold {

namespace {

namespace fs = std::filesystem;

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
  std::printf("wrote public key %s (%zu bytes) and private key %s\n",
              options.public_path.c_str(), kBlobPublicKeySize,
              options.private_path.c_str());
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

// Blob name -> file on disk, for every regular file below the directory.
std::map<std::string, std::string> DirectoryFiles(
    const std::string& directory) {
  std::map<std::string, std::string> disk_files;
  if (directory.empty()) return disk_files;
  std::error_code ec;
  if (!fs::is_directory(directory, ec)) {
    Fail("pack", kExitFailed, directory + ": not a directory");
  }
  fs::recursive_directory_iterator it(directory, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    std::string name = fs::relative(it->path(), directory, ec).generic_string();
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
  if (ec) Fail("pack", kExitFailed, directory + ": " + ec.message());
  return disk_files;
}

// The --prereq and --expose lines as file contents, each line checked with
// the installer's rules.
void AddListValues(PackOptions& options) {
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
}

// Descriptor file name -> contents, from the options; checks that the
// component is complete and its initialisation library is a payload file.
std::map<std::string, std::string> DescriptorValues(
    PackOptions& options,
    const std::map<std::string, std::string>& disk_files) {
  AddListValues(options);
  if (options.values.count("version") &&
      !IsWholeNumber(options.values["version"])) {
    Fail("pack", kExitUsage,
         "--version \"" + options.values["version"] +
             "\": expected a whole number");
  }
  std::map<std::string, std::string> descriptor_values;
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
  if (!present(kPrereqFile)) descriptor_values[kPrereqFile] = "";
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
  auto initialize = descriptor_values.find(kInitializeFile);
  if (initialize != descriptor_values.end() &&
      (!disk_files.count(initialize->second) ||
       IsDescriptorName(initialize->second))) {
    Fail("pack", kExitUsage,
         "--initialize \"" + initialize->second +
             "\" is not a payload file of the blob");
  }
  return descriptor_values;
}

void RunPack(PackOptions& options) {
  if (options.key_path.empty() && !options.unsigned_blob) {
    Fail("pack", kExitUsage, "give --key PRIVATE to sign, or --unsigned");
  }
  if (!options.key_path.empty() && options.unsigned_blob) {
    Fail("pack", kExitUsage, "--key and --unsigned exclude each other");
  }
  const std::map<std::string, std::string> disk_files =
      DirectoryFiles(options.directory);
  const std::map<std::string, std::string> descriptor_values =
      DescriptorValues(options, disk_files);

  BlobWriter writer;
  std::string error;
  std::uint64_t total = 0;
  for (const auto& [name, path] : disk_files) {
    if (!writer.AddFile(name, path, &error)) Fail("pack", kExitFailed, error);
    std::error_code ec;
    auto size = fs::file_size(path, ec);
    if (!ec) total += size;
  }
  for (const auto& [name, value] : descriptor_values) {
    if (!writer.AddBytes(name, value, &error)) Fail("pack", kExitFailed, error);
  }
  BlobKey key;
  if (!options.key_path.empty()) {
    key = PrivateKey(options.key_path);
    writer.SetSigningKey(&key);
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
  std::size_t payload = 0;
  for (const auto& [name, path] : disk_files) {
    if (!IsDescriptorName(name)) ++payload;
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

}  // namespace

void AddKeygenCommand(CLI::App& app) {
  auto keygen_options = std::make_shared<KeygenOptions>();
  CLI::App* keygen = app.add_subcommand(
      "keygen",
      "Make a new blob signing key pair (DER public key, private key file)");
  keygen
      ->add_option("--public", keygen_options->public_path,
                   "Where to write the " + std::to_string(kBlobPublicKeySize) +
                       "-byte DER public key")
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
}

void AddPackCommand(CLI::App& app) {
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
}

}  // namespace brackenfold
