// SPDX-License-Identifier: MIT
#include "report_line.h"

#include <gtest/gtest.h>

#include <ostream>

namespace {

struct line_case {
  std::uint8_t sample;
  const char *line;
};

// Every bit position alone and all but it, one and two hex digits, and
// lowercase letters.
const line_case line_cases[] = {
    {0x00, "Readed: 0 : 00000000\n"},  {0x01, "Readed: 1 : 00000001\n"},
    {0x02, "Readed: 2 : 00000010\n"},  {0x04, "Readed: 4 : 00000100\n"},
    {0x05, "Readed: 5 : 00000101\n"},  {0x08, "Readed: 8 : 00001000\n"},
    {0x0a, "Readed: a : 00001010\n"},  {0x0f, "Readed: f : 00001111\n"},
    {0x10, "Readed: 10 : 00010000\n"}, {0x20, "Readed: 20 : 00100000\n"},
    {0x40, "Readed: 40 : 01000000\n"}, {0x80, "Readed: 80 : 10000000\n"},
    {0x7f, "Readed: 7f : 01111111\n"}, {0xa5, "Readed: a5 : 10100101\n"},
    {0xbc, "Readed: bc : 10111100\n"}, {0xde, "Readed: de : 11011110\n"},
    {0xfe, "Readed: fe : 11111110\n"}, {0xff, "Readed: ff : 11111111\n"},
};

void PrintTo(const line_case &test, std::ostream *out) {
  *out << "sample " << int(test.sample);
}

class ReportLine : public testing::TestWithParam<line_case> {};

TEST_P(ReportLine, FormatsHexAndBinary) {
  EXPECT_EQ(report_line(GetParam().sample), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(Table, ReportLine, testing::ValuesIn(line_cases));

} // namespace
