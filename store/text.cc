#include "store/text.h"

#include <cstdarg>
#include <vector>

namespace brackenfold {

bool IsWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

void Trim(std::string& text) {
  std::size_t end = text.size();
  while (end > 0 && IsWhiteSpace(text[end - 1])) --end;
  std::size_t begin = 0;
  while (begin < end && IsWhiteSpace(text[begin])) ++begin;
  text = text.substr(begin, end - begin);
}

std::string Trimmed(std::string text) {
  Trim(text);
  return text;
}

void ToUpper(std::string& text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
}

std::string FormatText(const char* format, ...) {
  // One buffer for the whole process: it starts at 1 KiB, doubles while the
  // output does not fit, and stops growing at 64 KiB.
  static std::vector<char>* buffer = new std::vector<char>(1024);
  for (;;) {
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer->data(), buffer->size(), format, args);
    va_end(args);
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < buffer->size() ||
        buffer->size() >= 65536) {
      return std::string(buffer->data());
    }
    buffer->assign(buffer->size() * 2, '\0');
  }
}

bool ReadLine(std::FILE* stream, std::string& text) {
  text.clear();
  int c;
  for (;;) {
    c = std::getc(stream);
    if (c == EOF) return false;
    if (c == '\n' || c == '\r') break;
    text += static_cast<char>(c);
  }
  int next = std::getc(stream);
  bool pair = (next == '\n' || next == '\r') && next != c;
  if (!pair && next != EOF) std::ungetc(next, stream);
  return true;
}

}  // namespace brackenfold
