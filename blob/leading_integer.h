// The one reading of a decimal number in this system's texts: the blob's
// version line and the component descriptor's versions and prerequisite
// fields. It reads a text as the C runtime's atol does: leading white space
// (space, tab, LF, VT, FF, CR), one optional "+" or "-", then the decimal
// digits up to the first other character; anything after them is ignored and
// no digits give 0.
#ifndef BRACKENFOLD_BLOB_LEADING_INTEGER_H_
#define BRACKENFOLD_BLOB_LEADING_INTEGER_H_

#include <cstdint>
#include <string>

namespace brackenfold {

struct LeadingInteger {
  // The signed value accumulated in 32 bits, wrapping without a check.
  std::int32_t value = 0;
  // False when the digits denote a number outside the signed 32-bit range,
  // so that value has wrapped.
  bool in_range = true;
  // True when the text is nothing but one optional sign and at least one
  // digit: no white space, nothing after the digits.
  bool exact = false;
};

LeadingInteger ReadLeadingInteger(const std::string& text);

// The white space that the reading skips.
bool IsAtolSpace(char c);

}  // namespace brackenfold

#endif  // BRACKENFOLD_BLOB_LEADING_INTEGER_H_
