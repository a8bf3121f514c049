#include <cstddef>
#include <string>

#include <gtest/gtest.h>

#include "text_width.h"

namespace {

const std::string kAcute = "\xcc\x81";  // U+0301, a combining mark
const std::string kEmoji = "\xf0\x9f\x98\x80";  // U+1F600

std::string times(int count, const std::string& text) {
    std::string repeated;
    for (int i = 0; i < count; ++i) repeated += text;
    return repeated;
}

}  // namespace

TEST(TextWidth, ColumnsOfText) {
    const struct {
        std::string text;
        std::size_t columns;
    } cases[] = {
        {"pak0.pak", 8},
        {"Дм", 2},
        {"地图", 4},
        {"한", 2},
        {"e" + kAcute, 1},
        {kAcute, 0},
        {kEmoji, 2},
        {"\x1b\x07", 2},
        {"\xff\xc3", 2},                  // a stray byte, a sequence cut short
        {"\xe0\x80\xaf", 3},              // an overlong '/'
        {"\xed\xa0\x80", 3},              // a surrogate
        {"\xf4\x90\x80\x80", 4},          // past U+10FFFF
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(columns_of(c.text), c.columns);
    }
}

TEST(TextWidth, ElideMiddleCutsBetweenCharactersAndFavoursTheEnd) {
    const struct {
        std::string text;
        std::size_t columns;
        std::string shown;
    } cases[] = {
        {"abcdefghij", 10, "abcdefghij"},
        {"abcdefghij", 9, "abc...hij"},
        {"abcdefghij", 8, "ab...hij"},
        {"地图地图地图", 8, "地...图"},
        {"地图地图地图", 9, "地...地图"},
        {times(6, "e" + kAcute), 5, "e" + kAcute + "...e" + kAcute},
        {"abcdef", 2, ".."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text + " in " + std::to_string(c.columns));
        EXPECT_EQ(elide_middle(c.text, c.columns), c.shown);
    }
}
