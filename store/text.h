// Text operations shared by the store, index and descriptor code: white-space
// trimming, upper-casing of a to z, printf-style formatting through one
// process-wide growing buffer, and reading one line of a stdio stream with any
// of LF, CR, CR LF or LF CR as its end.
#ifndef BRACKENFOLD_STORE_TEXT_H_
#define BRACKENFOLD_STORE_TEXT_H_

#include <cstdio>
#include <string>

namespace brackenfold {

// Space, tab, LF, VT, FF and CR; nothing else.
bool IsWhiteSpace(char c);

// Removes white space at both ends, in place.
void Trim(std::string& text);
// The same into a copy.
std::string Trimmed(std::string text);

// In place; only the letters a to z change.
void ToUpper(std::string& text);

// printf-style formatting. Output longer than 65,535 characters is cut there.
std::string FormatText(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Reads one line into text (which is cleared first). True when a line end was
// met; false at end of file, with what was read so far left in text.
bool ReadLine(std::FILE* stream, std::string& text);

}  // namespace brackenfold

#endif  // BRACKENFOLD_STORE_TEXT_H_
