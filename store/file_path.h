// FilePath: the path value passed everywhere, one ANSI text with one separator
// (the backslash on Windows, "/" in the POSIX build). A trailing separator
// marks a directory; a path that is not an existing directory is taken as a
// file name, so appending to it appends to its directory. Nothing is
// normalised. The file operations report failures through their bool results
// and never throw; they reach the system through CurrentEnv().
#ifndef BRACKENFOLD_STORE_FILE_PATH_H_
#define BRACKENFOLD_STORE_FILE_PATH_H_

#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>

namespace brackenfold {

class FilePath {
 public:
  FilePath() = default;
  FilePath(std::string text)
      : text_(std::move(text)) {}  // NOLINT: a path is a text
  FilePath(const char* text) : text_(text ? text : "") {}  // NOLINT
  FilePath& operator=(std::string text) {
    text_ = std::move(text);
    return *this;
  }

  bool EndsWithSeparator() const;
  // GetFileAttributesA; is_directory (optional) gets the directory bit.
  bool Exists(bool* is_directory = nullptr) const;
  // Drops one trailing separator, then cuts before the last separator left.
  void ToParent();
  // The last component, without a trailing separator.
  std::string FileName() const;
  void AppendFile(const std::string& name);
  // As AppendFile; the result always ends in a separator.
  void AppendDirectory(const std::string& name);
  // fopen(text, mode); null for the empty path. The caller closes the stream.
  std::FILE* OpenStream(const char* mode) const;
  // The system's temporary directory; the empty path when it cannot say.
  void SetToTempDirectory();
  // True when nothing is there afterwards; a directory is never removed.
  bool RemoveFile() const;
  // One level; true when a directory is there afterwards.
  bool MakeDirectory() const;
  // Every missing ancestor from the outermost inwards, then the path.
  bool EnsureDirectory() const;
  // Copies this file to destination in 32 KiB pieces; a failed copy leaves no
  // destination behind, and sets *error (when given) to the errno of the step
  // that failed. A destination that is this very file, however named (another
  // letter case, a short name, a hard link), counts as copied and is left
  // untouched.
  bool CopyFileTo(const FilePath& destination, bool overwrite,
                  int* error = nullptr) const;
  // On a directory path: creates a new empty file named prefix, eight
  // upper-case hexadecimal digits of a counter started at the calendar time,
  // and the extension; the path becomes that file's path.
  bool MakeUniqueFile(const std::string& prefix,
                      const std::optional<std::string>& extension,
                      bool use_temporary_directory);

  std::string PathText() const { return text_; }
  const std::string& text() const { return text_; }
  bool empty() const { return text_.empty(); }
  bool operator==(const FilePath& other) const { return text_ == other.text_; }

 private:
  bool IsExistingDirectory() const;
  void Append(const std::string& name);

  std::string text_;
};

// The directory part of path, up to and including its last separator (empty
// when it has none), and the rest: how a store file's path is handed to the
// Env's calls below a store directory.
void SplitStorePath(const FilePath& path, std::string* directory,
                    std::string* name);

// Creates new files under unique names below one store directory: name
// prefix, eight upper-case hexadecimal digits of a counter that starts at the
// calendar time, and a suffix. Each file is created exclusively, never
// through a link, and handed back open, so it is written through the handle
// that created it. The maker remembers, per pattern, the counter after the
// last name it made, so the files of one install that share a pattern cost
// one try each instead of one try per earlier file.
class UniqueFileMaker {
 public:
  explicit UniqueFileMaker(std::string directory)
      : directory_(std::move(directory)) {}

  // prefix may hold directory parts ("sub/x"), which must exist below the
  // directory as plain directories. On success *stored is the new file's
  // name relative to the directory and *stream writes to it ("wb"); the
  // result is 0, or an errno (kErrnoLink when a part is a link; kErrnoExists
  // when every counter value is taken).
  int Create(const std::string& prefix, const std::string& suffix,
             std::string* stored, std::FILE** stream);

  const std::string& directory() const { return directory_; }

 private:
  std::string directory_;
  std::map<std::string, std::uint32_t> next_;
};

}  // namespace brackenfold

#endif  // BRACKENFOLD_STORE_FILE_PATH_H_
