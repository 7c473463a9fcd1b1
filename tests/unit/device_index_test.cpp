#include "device_index.h"

#include <gtest/gtest.h>

#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

enum class outcome { value, invalid, out_of_range };

struct index_case {
  std::vector<std::string> arguments; // after the program name
  outcome expected;
  std::int32_t value;
};

const index_case index_cases[] = {
    {{}, outcome::value, 0},
    {{"3", "4"}, outcome::value, 0},
    {{"x", "y"}, outcome::value, 0},
    {{"1", "2", "3"}, outcome::value, 0},
    {{"5"}, outcome::value, 5},
    {{"+5"}, outcome::value, 5},
    {{"  5"}, outcome::value, 5},
    {{"\t\n\v\f\r5"}, outcome::value, 5},
    {{"-1"}, outcome::value, -1},
    {{"5x"}, outcome::value, 5},
    {{"5 6"}, outcome::value, 5},
    {{"0x10"}, outcome::value, 0},
    {{"1e3"}, outcome::value, 1},
    {{"007"}, outcome::value, 7},
    {{"-0"}, outcome::value, 0},
    {{"2147483647"}, outcome::value, 2147483647},
    {{"-2147483648"}, outcome::value, -2147483647 - 1},
    {{"000000000000000000002147483647"}, outcome::value, 2147483647},
    {{"x5"}, outcome::invalid, 0},
    {{""}, outcome::invalid, 0},
    {{"-"}, outcome::invalid, 0},
    {{"+"}, outcome::invalid, 0},
    {{"+-5"}, outcome::invalid, 0},
    {{"  "}, outcome::invalid, 0},
    {{" - 5"}, outcome::invalid, 0},
    {{"\xef\xbc\x95"}, outcome::invalid, 0}, // a full-width digit five
    {{"2147483648"}, outcome::out_of_range, 0},
    {{"-2147483649"}, outcome::out_of_range, 0},
    {{"4294967296"}, outcome::out_of_range, 0},
    {{"9223372036854775807"}, outcome::out_of_range, 0},
    {{"99999999999999999999999"}, outcome::out_of_range, 0},
    {{"-99999999999999999999999x"}, outcome::out_of_range, 0},
};

void PrintTo(const index_case &test, std::ostream *out) {
  *out << test.arguments.size() << " arguments:";
  for (const std::string &argument : test.arguments)
    *out << " \"" << argument << '"';
}

class DeviceIndex : public testing::TestWithParam<index_case> {};

TEST_P(DeviceIndex, ConvertsLikeStoi) {
  const index_case &test = GetParam();
  std::vector<const char *> argv{"pinmon"};
  for (const std::string &argument : test.arguments)
    argv.push_back(argument.c_str());
  const int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);

  switch (test.expected) {
  case outcome::value:
    EXPECT_EQ(device_index(argc, argv.data()), test.value);
    break;
  case outcome::invalid:
    try {
      device_index(argc, argv.data());
      ADD_FAILURE() << "no error";
    } catch (const std::invalid_argument &error) {
      EXPECT_STREQ(error.what(), "invalid stoi argument");
    }
    break;
  case outcome::out_of_range:
    try {
      device_index(argc, argv.data());
      ADD_FAILURE() << "no error";
    } catch (const std::out_of_range &error) {
      EXPECT_STREQ(error.what(), "stoi argument out of range");
    }
    break;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, DeviceIndex, testing::ValuesIn(index_cases));

} // namespace
