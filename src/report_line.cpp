#include "report_line.h"

std::string report_line(std::uint8_t sample) {
  static const char hex_digits[] = "0123456789abcdef";
  std::string line = "Readed: ";
  line.reserve(sizeof "Readed: ff : 11111111\n");
  if (sample > 0xf)
    line += hex_digits[sample >> 4];
  line += hex_digits[sample & 0xf];
  line += " : ";
  for (int bit = 7; bit >= 0; --bit)
    line += ((sample >> bit) & 1) ? '1' : '0';
  line += '\n';
  return line;
}
