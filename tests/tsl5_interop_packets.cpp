// Prints the TSL 5.0 packets that src/tsl makes, for tests/tsl5_interop.js. One case per input
// line: "SCREEN" then per display "INDEX LEFT TEXT_TALLY RIGHT BRIGHTNESS HEXTEXT" (HEXTEXT: the
// text's bytes as hex pairs, "-" for none). One output line per case: per packet the packet and
// its DLE/STX framing in hex, as "PACKET/FRAMED", packets separated by "|".
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tsl/tsl.h"

int main() {
  for (std::string line; std::getline(std::cin, line);) {
    std::istringstream in(line);
    unsigned screen = 0, index, left, textTally, right, brightness;
    std::string text, out;
    std::vector<Tsl5Display> displays;
    in >> screen;
    while (in >> index >> left >> textTally >> right >> brightness >> text) {
      Bytes t;
      if (text != "-" && !hexPairsToBytes(text, t)) return 1;
      displays.push_back({static_cast<uint16_t>(index), static_cast<uint8_t>(left),
                          static_cast<uint8_t>(textTally), static_cast<uint8_t>(right),
                          static_cast<uint8_t>(brightness), std::string(t.begin(), t.end())});
    }
    for (const Bytes& p : tsl5Packets(static_cast<uint16_t>(screen), displays))
      out += (out.empty() ? "" : "|") + bytesToHexString(p) + "/" + bytesToHexString(dleStx(p));
    std::cout << out << "\n";
  }
  return 0;
}
