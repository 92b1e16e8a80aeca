// Prints the TSL 5.0 packets that src/tsl makes, for tests/tsl5_interop.js. One case per input
// line: "SCREEN" then per display "INDEX LEFT TEXT_TALLY RIGHT BRIGHTNESS HEXTEXT" (HEXTEXT: the
// text's bytes as hex pairs, "-" for none). One output line per case: per packet the packet and
// its DLE/STX framing in hex, as "PACKET/FRAMED", separated by spaces.
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tsl/tsl.h"

namespace {

std::string hex(const Bytes& b) {
  std::string out;
  char two[3];
  for (uint8_t v : b) {
    std::snprintf(two, sizeof two, "%02x", v);
    out += two;
  }
  return out;
}

}  // namespace

int main() {
  for (std::string line; std::getline(std::cin, line);) {
    std::istringstream in(line);
    unsigned screen = 0, index, left, textTally, right, brightness;
    std::string text;
    std::vector<Tsl5Display> displays;
    in >> screen;
    while (in >> index >> left >> textTally >> right >> brightness >> text) {
      Tsl5Display d{static_cast<uint16_t>(index),     static_cast<uint8_t>(left),
                    static_cast<uint8_t>(textTally),  static_cast<uint8_t>(right),
                    static_cast<uint8_t>(brightness), ""};
      for (size_t i = 0; text != "-" && i + 1 < text.size(); i += 2)
        d.text += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
      displays.push_back(d);
    }
    std::string out;
    for (const Bytes& p : tsl5Packets(static_cast<uint16_t>(screen), displays))
      out += (out.empty() ? "" : " ") + hex(p) + "/" + hex(dleStx(p));
    std::cout << out << "\n";
  }
  return 0;
}
