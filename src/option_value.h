// SPDX-License-Identifier: MIT
// Options that take a value, as the companion programs read them.
#pragma once

#include <string>

// The value of an option given as "--option VALUE" or "--option=VALUE",
// empty when it is missing; false when argv[*i] is not that option. *i is
// moved past a value taken from the next argument.
bool option_value(int argc, char *argv[], int *i, const std::string &option,
                  std::string *value);
