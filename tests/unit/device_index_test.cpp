// SPDX-License-Identifier: MIT
#include "device_index.h"

#include <gtest/gtest.h>

#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// What device_index makes of the arguments: the index, or the error's type
// and message.
std::string outcome_of(int argc, const char *const argv[]) {
  try {
    return std::to_string(device_index(argc, argv));
  } catch (const std::invalid_argument &error) {
    return std::string("invalid_argument: ") + error.what();
  } catch (const std::out_of_range &error) {
    return std::string("out_of_range: ") + error.what();
  }
}

const char *const invalid = "invalid_argument: invalid stoi argument";
const char *const out_of_range = "out_of_range: stoi argument out of range";

struct index_case {
  std::vector<std::string> arguments; // after the program name
  const char *outcome;
};

const index_case index_cases[] = {
    {{}, "0"},
    {{"3", "4"}, "0"},
    {{"x", "y"}, "0"},
    {{"1", "2", "3"}, "0"},
    {{"5"}, "5"},
    {{"+5"}, "5"},
    {{"  5"}, "5"},
    {{"\t\n\v\f\r5"}, "5"},
    {{"-1"}, "-1"},
    {{"5x"}, "5"},
    {{"5 6"}, "5"},
    {{"0x10"}, "0"},
    {{"1e3"}, "1"},
    {{"007"}, "7"},
    {{"-0"}, "0"},
    {{"2147483647"}, "2147483647"},
    {{"-2147483648"}, "-2147483648"},
    {{"000000000000000000002147483647"}, "2147483647"},
    {{"x5"}, invalid},
    {{""}, invalid},
    {{"-"}, invalid},
    {{"+"}, invalid},
    {{"+-5"}, invalid},
    {{"  "}, invalid},
    {{" - 5"}, invalid},
    {{"\xef\xbc\x95"}, invalid}, // a full-width digit five
    {{"2147483648"}, out_of_range},
    {{"-2147483649"}, out_of_range},
    {{"4294967296"}, out_of_range},
    {{"9223372036854775807"}, out_of_range},
    {{"99999999999999999999999"}, out_of_range},
    {{"-99999999999999999999999x"}, out_of_range},
};

void PrintTo(const index_case &test, std::ostream *out) {
  *out << test.arguments.size() << " arguments:";
  for (const std::string &argument : test.arguments) {
    *out << " \"";
    // Test names must stay on one line: show blanks and bytes in hex.
    for (const unsigned char c : argument) {
      if (c > ' ' && c < 0x7f)
        *out << c;
      else
        *out << "\\x"
             << "0123456789abcdef"[c >> 4] << "0123456789abcdef"[c & 15];
    }
    *out << '"';
  }
}

class DeviceIndex : public testing::TestWithParam<index_case> {};

TEST_P(DeviceIndex, ConvertsLikeStoi) {
  std::vector<const char *> argv{"pinmon"};
  for (const std::string &argument : GetParam().arguments)
    argv.push_back(argument.c_str());
  const int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);
  EXPECT_EQ(outcome_of(argc, argv.data()), GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(Table, DeviceIndex, testing::ValuesIn(index_cases));

} // namespace
