#include "store/file_path.h"

#include <cerrno>
#include <vector>

#include "platform/env.h"
#include "store/text.h"

namespace brackenfold {

bool FilePath::EndsWithSeparator() const {
  return !text_.empty() && text_.back() == kPathSeparator;
}

bool FilePath::Exists(bool* is_directory) const {
  std::uint32_t attributes = CurrentEnv().FileAttributes(text_);
  if (attributes == kInvalidFileAttributes) return false;
  if (is_directory) {
    *is_directory = (attributes & kFileAttributeDirectory) != 0;
  }
  return true;
}

bool FilePath::IsExistingDirectory() const {
  bool is_directory = false;
  return Exists(&is_directory) && is_directory;
}

void FilePath::ToParent() {
  if (!text_.empty() && text_.back() == kPathSeparator) text_.pop_back();
  std::size_t last = text_.rfind(kPathSeparator);
  if (last != std::string::npos) text_.erase(last);
}

std::string FilePath::FileName() const {
  std::string name = text_;
  if (!name.empty() && name.back() == kPathSeparator) name.pop_back();
  std::size_t last = name.rfind(kPathSeparator);
  return last == std::string::npos ? name : name.substr(last + 1);
}

void FilePath::Append(const std::string& name) {
  if (!EndsWithSeparator() && !IsExistingDirectory()) ToParent();
  if (!EndsWithSeparator() && !text_.empty()) text_ += kPathSeparator;
  text_ += name;
}

void FilePath::AppendFile(const std::string& name) { Append(name); }

void FilePath::AppendDirectory(const std::string& name) {
  Append(name);
  if (!EndsWithSeparator()) text_ += kPathSeparator;
}

std::FILE* FilePath::OpenStream(const char* mode) const {
  if (text_.empty()) return nullptr;
  return std::fopen(text_.c_str(), mode);
}

void FilePath::SetToTempDirectory() {
  std::string temp;
  text_ = CurrentEnv().TempDirectory(&temp) ? temp : std::string();
}

bool FilePath::RemoveFile() const {
  bool is_directory = false;
  if (!Exists(&is_directory)) return true;
  if (is_directory) return false;
  return CurrentEnv().RemoveFileAt(text_);
}

bool FilePath::MakeDirectory() const {
  bool is_directory = false;
  if (Exists(&is_directory)) return is_directory;
  return CurrentEnv().NewDirectory(text_);
}

bool FilePath::EnsureDirectory() const {
  bool is_directory = false;
  if (Exists(&is_directory)) return is_directory;
  FilePath parent(*this);
  parent.ToParent();
  if (parent.text_ == text_) return false;
  if (!parent.EnsureDirectory()) return false;
  return MakeDirectory();
}

bool FilePath::CopyFileTo(const FilePath& destination, bool overwrite,
                          int* error) const {
  int ignored = 0;
  int& failure = error ? *error : ignored;
  failure = 0;
  if (!overwrite && destination.Exists()) {
    failure = kErrnoExists;
    return false;
  }
  // Opening the destination for writing would empty it: when it is this
  // file, it already holds every byte.
  if (CurrentEnv().IsSameFile(text_, destination.text_)) return true;
  std::FILE* source = OpenStream("rb");
  if (!source) {
    failure = errno ? errno : kErrnoNoEntry;
    return false;
  }
  std::FILE* target = destination.OpenStream("wb");
  if (!target) {
    failure = errno;
    std::fclose(source);
    return false;
  }
  std::fseek(source, 0, SEEK_SET);
  std::fseek(target, 0, SEEK_SET);
  std::vector<char> buffer(32768);
  bool ok;
  for (;;) {
    std::size_t got = std::fread(buffer.data(), 1, buffer.size(), source);
    std::size_t put = got ? std::fwrite(buffer.data(), 1, got, target) : 0;
    if (got < buffer.size() && std::ferror(source)) {
      failure = errno;
      ok = false;
      break;
    }
    if (put < got && std::ferror(target)) {
      failure = errno;
      ok = false;
      break;
    }
    if (std::feof(source)) {
      ok = true;
      break;
    }
  }
  std::fclose(source);
  if (std::fclose(target) != 0 && ok) {
    failure = errno;
    ok = false;
  }
  if (!ok) destination.RemoveFile();
  return ok;
}

bool FilePath::MakeUniqueFile(const std::string& prefix,
                              const std::optional<std::string>& extension,
                              bool use_temporary_directory) {
  if (use_temporary_directory) SetToTempDirectory();
  if (!IsExistingDirectory()) return false;
  std::string suffix;
  if (extension) {
    suffix = Trimmed(*extension);
    if (!suffix.empty() && suffix[0] != '.') suffix.insert(0, ".");
  }
  Env& env = CurrentEnv();
  const std::uint32_t start = env.Time();
  std::uint32_t counter = start;
  for (;;) {
    FilePath candidate(*this);
    candidate.AppendFile(
        FormatText("%s%.8X%s", prefix.c_str(), counter, suffix.c_str()));
    int error = env.CreateNewFile(candidate.text_);
    if (error == 0) {
      *this = candidate;
      return true;
    }
    if (error != kErrnoExists) return false;
    if (++counter == start) return false;
  }
}

}  // namespace brackenfold

namespace brackenfold {

void SplitStorePath(const FilePath& path, std::string* directory,
                    std::string* name) {
  const std::string& text = path.text();
  std::size_t last = text.rfind(kPathSeparator);
  *directory =
      last == std::string::npos ? std::string() : text.substr(0, last + 1);
  *name = last == std::string::npos ? text : text.substr(last + 1);
}

int UniqueFileMaker::Create(const std::string& prefix,
                            const std::string& suffix, std::string* stored,
                            std::FILE** stream) {
  Env& env = CurrentEnv();
  // Upper-cased: on a file system that ignores case, Bin and bin share
  // their names.
  std::string pattern = prefix + '\0' + suffix;
  ToUpper(pattern);
  auto remembered = next_.find(pattern);
  const std::uint32_t start =
      remembered == next_.end() ? env.Time() : remembered->second;
  std::uint32_t counter = start;
  for (;;) {
    std::string name =
        FormatText("%s%.8X%s", prefix.c_str(), counter, suffix.c_str());
    int error = env.CreateFileIn(directory_, name, stream);
    if (error == 0) {
      next_[pattern] = counter + 1;
      *stored = std::move(name);
      return 0;
    }
    if (error != kErrnoExists) return error;
    if (++counter == start) return kErrnoExists;
  }
}

}  // namespace brackenfold
