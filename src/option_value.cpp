// SPDX-License-Identifier: MIT
#include "option_value.h"

bool option_value(int argc, char *argv[], int *i, const std::string &option,
                  std::string *value) {
  const std::string argument = argv[*i];
  if (argument == option) {
    *value = *i + 1 < argc ? argv[++*i] : "";
    return true;
  }
  if (argument.rfind(option + "=", 0) == 0) {
    *value = argument.substr(option.size() + 1);
    return true;
  }
  return false;
}
