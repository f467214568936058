#include "store/text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace brackenfold {
namespace {

TEST(TextTest, TrimRemovesTheSixWhiteSpaceCharactersOnly) {
  EXPECT_EQ(Trimmed("  x  "), "x");
  EXPECT_EQ(Trimmed(" \t \t"), "");
  EXPECT_EQ(Trimmed("\r\n\v\fa b\f"), "a b");
  EXPECT_EQ(Trimmed("\xA0x\xA0"), "\xA0x\xA0");  // no-break space stays
  std::string in_place = "\tkeep inner  \n";
  Trim(in_place);
  EXPECT_EQ(in_place, "keep inner");
}

TEST(TextTest, ToUpperChangesAsciiLettersOnly) {
  std::string s = "abc-xyz_1\xE9";
  ToUpper(s);
  EXPECT_EQ(s, "ABC-XYZ_1\xE9");
}

TEST(TextTest, FormatTextGrowsAndCutsAt65535) {
  EXPECT_EQ(FormatText("%s%.8X%s", "bin", 0x3C000000u, ".dat"),
            "bin3C000000.dat");
  std::string big(5000, 'a');
  EXPECT_EQ(FormatText("%s!", big.c_str()), big + "!");
  std::string huge(70000, 'b');
  EXPECT_EQ(FormatText("%s", huge.c_str()), std::string(65535, 'b'));
  EXPECT_EQ(FormatText("%d", -7), "-7");  // the buffer stays usable
}

std::FILE* StreamOf(const std::string& bytes) {
  std::FILE* f = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  return f;
}

TEST(TextTest, ReadLineFoldsCrLfAndLfCrButNotDoubledEnds) {
  std::FILE* f = StreamOf("a\r\nb\n\n");
  std::string line;
  EXPECT_TRUE(ReadLine(f, line));
  EXPECT_EQ(line, "a");
  EXPECT_TRUE(ReadLine(f, line));
  EXPECT_EQ(line, "b");
  EXPECT_TRUE(ReadLine(f, line));
  EXPECT_EQ(line, "");
  EXPECT_FALSE(ReadLine(f, line));
  EXPECT_EQ(line, "");
  std::fclose(f);

  f = StreamOf("x\n\ry\r\rtail");
  EXPECT_TRUE(ReadLine(f, line));
  EXPECT_EQ(line, "x");
  EXPECT_TRUE(ReadLine(f, line));
  EXPECT_EQ(line, "y");
  EXPECT_TRUE(ReadLine(f, line));  // CR CR: the second CR ends an empty line
  EXPECT_EQ(line, "");
  EXPECT_FALSE(ReadLine(f, line));  // a last line without an end
  EXPECT_EQ(line, "tail");
  std::fclose(f);
}

}  // namespace
}  // namespace brackenfold
