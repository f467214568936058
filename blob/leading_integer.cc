#include "blob/leading_integer.h"

#include <cstddef>

namespace brackenfold {

bool IsAtolSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

LeadingInteger ReadLeadingInteger(const std::string& text) {
  LeadingInteger result;
  std::size_t i = 0;
  while (i < text.size() && IsAtolSpace(text[i])) ++i;
  const std::size_t start = i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const std::size_t digits = i;
  // The magnitude, held exactly until it leaves the range.
  const std::uint64_t limit = negative ? 2147483648u : 2147483647u;
  std::uint64_t magnitude = 0;
  std::uint32_t wrapped = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const unsigned digit = static_cast<unsigned>(text[i] - '0');
    wrapped = wrapped * 10u + digit;
    if (magnitude <= limit) magnitude = magnitude * 10u + digit;
  }
  if (negative) wrapped = 0u - wrapped;
  result.value = static_cast<std::int32_t>(wrapped);
  result.in_range = magnitude <= limit;
  result.exact = start == 0 && i > digits && i == text.size();
  return result;
}

}  // namespace brackenfold
