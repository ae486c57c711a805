#include <gtest/gtest.h>

#include "platform/strings.hpp"

namespace merivane {
namespace {

TEST(Text, StripsTheHostsWhiteSpace) {
    EXPECT_EQ(strip_whitespace(" \t\x0b\x0c\r\n\x1c" "a b\xc2\xa0\xe3\x80\x80\xe2\x80\x89"), "a b");
    EXPECT_EQ(strip_whitespace("\xc2\xa9x"), "\xc2\xa9x");  // (c) is not a space
    EXPECT_EQ(strip_whitespace("\xe2\x80\x8b"), "\xe2\x80\x8b");  // nor is a zero-width space
    EXPECT_TRUE(is_blank(" \xc2\x85\n"));
}

TEST(Text, QuotesLikeTheHost) {
    EXPECT_EQ(quoted("a\tb\n"), "'a\\tb\\n'");
    EXPECT_EQ(quoted("it's"), "\"it's\"");
    EXPECT_EQ(quoted("'\""), "'\\'\"'");
}

struct LineEndCase {
    const char* line;
    const char* terminator_gone;  // after without_terminator
    const char* newlines_gone;    // after without_trailing_newlines
};

class LineEnds : public ::testing::TestWithParam<LineEndCase> {};

TEST_P(LineEnds, EachStripsItsOwnEnd) {
    EXPECT_EQ(without_terminator(GetParam().line), GetParam().terminator_gone);
    EXPECT_EQ(without_trailing_newlines(GetParam().line), GetParam().newlines_gone);
}

INSTANTIATE_TEST_SUITE_P(Lines, LineEnds,
                         ::testing::Values(LineEndCase{"", "", ""}, LineEndCase{"a", "a", "a"},
                                           LineEndCase{"a\n", "a", "a"}, LineEndCase{"a\r\n", "a", "a\r"},
                                           LineEndCase{"a\n\n", "a\n", "a"}, LineEndCase{"a\r", "a\r", "a\r"},
                                           LineEndCase{"\r\n\n", "\r\n", "\r"}, LineEndCase{"a\n\r", "a\n\r", "a\n\r"}));

struct StripCase {
    const char* text;
    const char* host;   // after strip_whitespace
    const char* ascii;  // after strip_ascii_whitespace
};

class Stripping : public ::testing::TestWithParam<StripCase> {};

TEST_P(Stripping, EachKeepsItsOwnWhiteSpace) {
    const StripCase& c = GetParam();
    EXPECT_EQ(strip_whitespace(c.text), c.host);
    EXPECT_EQ(strip_ascii_whitespace(c.text), c.ascii);
    EXPECT_EQ(is_blank(c.text), std::string_view(c.host).empty());
    EXPECT_EQ(is_ascii_blank(c.text), std::string_view(c.ascii).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Stripping,
    ::testing::Values(StripCase{"", "", ""}, StripCase{" \t\r\n\f\v", "", ""},
                      StripCase{"\x1c" "a\x1f", "a", "\x1c" "a\x1f"},
                      StripCase{"\xc2\xa0" "a b\xe2\x80\xaf", "a b", "\xc2\xa0" "a b\xe2\x80\xaf"},
                      StripCase{"\xe3\x80\x80", "", "\xe3\x80\x80"},
                      // A space's last bytes after another character are no space.
                      StripCase{"\xc3\xa0", "\xc3\xa0", "\xc3\xa0"}, StripCase{" x\xe2\x80 ", "x\xe2\x80", "x\xe2\x80"}));

struct CharactersCase {
    const char* text;
    std::size_t count;      // characters in `text`
    std::size_t first_two;  // bytes of its first two characters
};

class Characters : public ::testing::TestWithParam<CharactersCase> {};

TEST_P(Characters, CountCodePointsNotBytes) {
    const CharactersCase& c = GetParam();
    EXPECT_EQ(character_count(c.text), c.count);
    EXPECT_EQ(first_characters(c.text, 2), std::string_view(c.text).substr(0, c.first_two));
    EXPECT_EQ(first_characters(c.text, c.count + 1), c.text);
}

INSTANTIATE_TEST_SUITE_P(Texts, Characters,
                         ::testing::Values(CharactersCase{"", 0, 0}, CharactersCase{"a", 1, 1},
                                           CharactersCase{"ACGT", 4, 2},
                                           CharactersCase{"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", 3, 5},
                                           CharactersCase{"a\xf0\x9f\x98\x80" "b", 3, 5}));

}  // namespace
}  // namespace merivane
