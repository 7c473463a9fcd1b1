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

// What reads the monitor's output takes back exactly what it printed.
TEST(ReportLineSample, EverySampleComesBack) {
  for (int sample = 0; sample <= 0xff; ++sample) {
    std::string line = report_line(static_cast<std::uint8_t>(sample));
    line.pop_back();
    EXPECT_EQ(report_line_sample(line), sample) << line;
  }
}

TEST(ReportLineSample, AnythingElseIsNoReportLine) {
  for (const char *text :
       {"", "Readed: ", "Readed: 05 : 00000101", "Readed: A5 : 10100101",
        "Readed: a5 : 10100100", "Readed: a5 : 10100101 ", "Readed: 1a5 : 1",
        "readed: 5 : 00000101", "Readed: 5 : 00000101\n",
        "Readed:  5 : 00000101", "Readed: g : 00000000"})
    EXPECT_EQ(report_line_sample(text), -1) << '"' << text << '"';
}

TEST(IndexLine, TakesBackTheIndexOfEachStartUpLine) {
  struct {
    const char *text;
    std::string (*line_for)(std::int32_t);
    bool is_line;
    std::int32_t index;
  } const cases[] = {
      {"Device 0 opened", device_opened_line, true, 0},
      {"Device -1 opened", device_opened_line, true, -1},
      {"Device 2147483647 opened", device_opened_line, true, 2147483647},
      {"Device 2147483648 opened", device_opened_line, false, 0},
      {"Device +1 opened", device_opened_line, false, 0},
      {"Device 01 opened", device_opened_line, false, 0},
      {"Device 1 opened ", device_opened_line, false, 0},
      {"Can't open device 12", cant_open_line, true, 12},
      {"Can't open device 12", device_opened_line, false, 0},
      {"Can't open device", cant_open_line, false, 0},
  };
  for (const auto &test : cases) {
    std::int32_t index = 0;
    EXPECT_EQ(index_line(test.text, test.line_for, &index), test.is_line)
        << test.text;
    EXPECT_EQ(index, test.index) << test.text;
  }
}
} // namespace
