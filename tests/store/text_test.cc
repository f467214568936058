#include "store/text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace brackenfold {
namespace {

TEST(TextTest, TrimAndToUpperTouchOnlyTheirCharacters) {
  EXPECT_EQ(Trimmed(" \t\r\n\v\fa b\f"), "a b");
  EXPECT_EQ(Trimmed(" \t "), "");
  EXPECT_EQ(Trimmed("\xA0x\xA0"), "\xA0x\xA0");  // no-break space stays
  std::string text = "`az{-1\xE9";
  ToUpper(text);
  EXPECT_EQ(text, "`AZ{-1\xE9");
}

TEST(TextTest, FormatTextGrowsAndCutsAt65535) {
  const std::string big(5000, 'a'), huge(70000, 'b');
  EXPECT_EQ(FormatText("%s%.8X", big.c_str(), 0x3C000000u), big + "3C000000");
  EXPECT_EQ(FormatText("%s", huge.c_str()), std::string(65535, 'b'));
}

TEST(TextTest, ReadLineTakesCrLfAndLfCrAsOneEndButNotDoubledEnds) {
  std::FILE* f = std::tmpfile();
  std::fputs("a\r\nb\n\rc\n\nd\r\re", f);
  std::rewind(f);
  std::string line;
  for (const char* want : {"a", "b", "c", "", "d", ""}) {
    EXPECT_TRUE(ReadLine(f, line));
    EXPECT_EQ(line, want);
  }
  EXPECT_FALSE(ReadLine(f, line));  // a last line without its end
  EXPECT_EQ(line, "e");
  std::fclose(f);
}

}  // namespace
}  // namespace brackenfold
