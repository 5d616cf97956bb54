#include "sensor/reader.h"

#include <gtest/gtest.h>

namespace {

struct line {
    int pitch, volume, sw;
    bool operator==(const line &) const = default;
};

void PrintTo(const line &l, std::ostream *os) {
    *os << "{" << l.pitch << "," << l.volume << "," << l.sw << "}";
}

std::vector<line> readall(const std::string &bytes) {
    reader r{};
    std::vector<line> lines;
    for (char c : bytes)
        if (takebyte(r, static_cast<unsigned char>(c))) lines.push_back({r.pitch, r.volume, r.sw});
    EXPECT_LT(r.pos, 4);
    EXPECT_EQ(r.text[3], '\0');
    return lines;
}

struct stream {
    const char *what;
    std::string bytes;
    std::vector<line> lines;
};

void PrintTo(const stream &s, std::ostream *os) {
    *os << s.what;
}

class Reader : public testing::TestWithParam<stream> {};
TEST_P(Reader, CutsTheStreamIntoReadings) {
    EXPECT_EQ(readall(GetParam().bytes), GetParam().lines);
}

using namespace std::string_literals;
INSTANTIATE_TEST_SUITE_P(
    Streams, Reader,
    testing::Values(
        stream{"crlf_as_two_newlines", "123,250|0\n\n", {{123, 250, 0}}},
        stream{"fields_go_by_terminator", "250|123,0\n\n", {{123, 250, 0}}},
        stream{
            "bare_newline_repeats_readings", "215,180|1\n\n\n\n", {{215, 180, 1}, {215, 180, 0}}},
        stream{"missing_fields_keep_last",
               "215,180|0\n\n|0\n\n300,0\n\n",
               {{215, 180, 0}, {215, 0, 0}, {300, 0, 0}}},
        stream{"raw_cr_stays_in_the_field", "1,2|1\r\n5,6|0\r\n", {{1, 2, 1}, {5, 6, 0}}},
        stream{"signs_and_letters", "-5,ab|+7\n\n", {{-5, 0, 7}}},
        stream{"first_field_from_empty_text", "7,\n\n", {{7, 0, 0}}},
        stream{"long_fields_keep_three", "12345,999999|0000001\n\n", {{123, 999, 0}}},
        stream{
            "lf_only_keeps_first_digit", "215,180|0\n216,181|0\n", {{215, 180, 0}, {216, 181, 0}}},
        stream{"byte_after_line_is_dispatched", "215,180|0\n,|0\n", {{215, 180, 0}, {0, 0, 0}}},
        stream{"garbage_bytes", "\xff\x01\x7f,"s + "\0"s + "12|\x1b[A\n\n", {{0, 0, 0}}},
        stream{"huge_field", std::string(3000, '9') + ",100|0\n\n", {{999, 100, 0}}}),
    [](const auto &info) { return info.param.what; });

TEST(Reader, DroppingAFieldForgetsItsTextAndTheLineEnd) {
    reader r{};
    for (char c : std::string("21"))
        takebyte(r, static_cast<unsigned char>(c));
    dropfield(r);
    takebyte(r, '5');
    takebyte(r, ',');
    EXPECT_EQ(r.pitch, 5);

    EXPECT_TRUE(takebyte(r, '\n'));
    dropfield(r);
    // A new connection's first line end is a line end, not the dropped byte of the last.
    EXPECT_TRUE(takebyte(r, '\n'));
}

} // namespace
