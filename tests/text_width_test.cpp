#include <cstddef>
#include <string>

#include <gtest/gtest.h>

#include "text_width.h"

namespace {

const std::string kAcute = "\xcc\x81";  // U+0301, a combining mark
const std::string kEmoji = "\xf0\x9f\x98\x80";  // U+1F600
const std::string kFigures = "1.2 of 3.4 MiB, 5.6 MiB/s";

// A code point of two, three or four bytes in UTF-8.
std::string utf8(char32_t code) {
    const int length = code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
    const unsigned lead = length == 2 ? 0xc0 : length == 3 ? 0xe0 : 0xf0;
    std::string bytes(1, static_cast<char>(lead | (code >> (6 * (length - 1)))));
    for (int i = length - 2; i >= 0; --i) bytes += static_cast<char>(0x80 | ((code >> (6 * i)) & 0x3f));
    return bytes;
}

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
        // Each range the width table counts two columns wide or none, at its
        // first and last code point, and the code points just outside it.
        {utf8(0x10ff), 1}, {utf8(0x1100), 2}, {utf8(0x115f), 2}, {utf8(0x1160), 1},
        {utf8(0x2e7f), 1}, {utf8(0x2e80), 2}, {utf8(0xa4cf), 2}, {utf8(0xa4d0), 1},
        {utf8(0xa95f), 1}, {utf8(0xa960), 2}, {utf8(0xa97f), 2}, {utf8(0xa980), 1},
        {utf8(0xabff), 1}, {utf8(0xac00), 2}, {utf8(0xd7a3), 2}, {utf8(0xd7a4), 1},
        {utf8(0xf8ff), 1}, {utf8(0xf900), 2}, {utf8(0xfaff), 2}, {utf8(0xfb00), 1},
        {utf8(0xfe0f), 1}, {utf8(0xfe10), 2}, {utf8(0xfe19), 2}, {utf8(0xfe1a), 1},
        {utf8(0xfe2f), 0}, {utf8(0xfe30), 2}, {utf8(0xfe6f), 2}, {utf8(0xfe70), 1},
        {utf8(0xfeff), 1}, {utf8(0xff00), 2}, {utf8(0xff60), 2}, {utf8(0xff61), 1},
        {utf8(0xffdf), 1}, {utf8(0xffe0), 2}, {utf8(0xffe6), 2}, {utf8(0xffe7), 1},
        {utf8(0x1efff), 1}, {utf8(0x1f000), 2}, {utf8(0x1faff), 2}, {utf8(0x1fb00), 1},
        {utf8(0x1ffff), 1}, {utf8(0x20000), 2}, {utf8(0x3fffd), 2}, {utf8(0x3fffe), 1},
        {utf8(0x02ff), 1}, {utf8(0x0300), 0}, {utf8(0x036f), 0}, {utf8(0x0370), 1},
        {utf8(0x1aaf), 1}, {utf8(0x1ab0), 0}, {utf8(0x1aff), 0}, {utf8(0x1b00), 1},
        {utf8(0x1dbf), 1}, {utf8(0x1dc0), 0}, {utf8(0x1dff), 0}, {utf8(0x1e00), 1},
        {utf8(0x20cf), 1}, {utf8(0x20d0), 0}, {utf8(0x20ff), 0}, {utf8(0x2100), 1},
        {utf8(0xfe1f), 1}, {utf8(0xfe20), 0},
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

// The figures are the point of the line: the paths give way first, then the
// verb; the last column stays free.
TEST(TextWidth, ProgressLineKeepsTheFiguresWhole) {
    const std::string long_path = "maps/" + std::string(40, 'f') + "/pak0.pak";
    const std::string path_of_42 = std::string(33, 'm') + "/pak0.pak";
    const struct {
        const char* verb;
        std::string path, destination, figures;
        std::size_t width;
        std::string line;
    } cases[] = {
        {"Copying", long_path, "pak0.bak", kFigures, 0,
         "Copying " + long_path + " to pak0.bak: " + kFigures},
        {"Copying", "maps/pak0.pak", "maps/pak0.bak", kFigures, 80,
         "Copying maps/pak0.pak to maps/pak0.bak: " + kFigures},
        {"Rewriting", path_of_42, "", kFigures, 80, "Rewriting " + path_of_42 + ": " + kFigures},
        {"Rewriting", path_of_42, "", kFigures, 79,
         "Rewriting " + std::string(19, 'm') + "..." + std::string(10, 'm') + "/pak0.pak: " + kFigures},
        // The shorter destination keeps its length; the path takes the rest.
        {"Copying", long_path, "pak0.bak", kFigures, 60, "Copying maps...0.pak to pak0.bak: " + kFigures},
        {"Copying", "pak0.pak", long_path, kFigures, 60, "Copying pak0.pak to maps...0.pak: " + kFigures},
        {"Copying", "地图/" + long_path, "pak0.bak", kFigures, 58, "Copying 地...0.pak to pak0.bak: " + kFigures},
        {"Rewriting", long_path, "", kFigures, 40, "Rewriting " + kFigures},
        {"Copying", long_path, "pak0.bak", kFigures, 40, "Copying " + kFigures},
        {"Copying", long_path, "pak0.bak", kFigures, 30, kFigures},
        {"Copying", long_path, "pak0.bak", kFigures, 29, ""},
        {"Copying", long_path, "pak0.bak", "1234.5 of 2345.6 MiB, 123.4 MiB/s", 30, ""},
        {"Rewriting", long_path, "", kFigures, 20, ""},
        // One to five columns left for the path: it shows a character of its own, or goes.
        {"Rewriting", long_path, "", kFigures, 41, "Rewriting " + kFigures},
        {"Rewriting", long_path, "", kFigures, 42, "Rewriting ...k: " + kFigures},
        {"Rewriting", long_path, "", kFigures, 43, "Rewriting m...k: " + kFigures},
        {"Rewriting", "地图地图地图", "", kFigures, 42, "Rewriting " + kFigures},
        {"Rewriting", "地图地图地图", "", kFigures, 43, "Rewriting ...图: " + kFigures},
        {"Copying", "a", long_path, kFigures, 44, "Copying " + kFigures},
        {"Copying", "a", long_path, kFigures, 45, "Copying a to ...k: " + kFigures},
        {"Copying", "地", long_path, kFigures, 46, "Copying 地 to ...k: " + kFigures},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.verb) + " " + c.path + " to " + c.destination + " in " + std::to_string(c.width));
        EXPECT_EQ(fitted_progress_text(c.verb, c.path, c.destination, c.figures, c.width), c.line);
    }
}
