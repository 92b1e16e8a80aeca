#include "tsl/tsl.h"

#include <algorithm>

namespace {

uint8_t asciiByte(char c) {
  auto b = static_cast<uint8_t>(c);
  return b >= 0x20 && b <= 0x7E ? b : static_cast<uint8_t>('?');
}

// Appends the text of one display, at most `size` bytes, made printable.
void appendText(Bytes& out, const std::string& text, size_t size) {
  size_t n = std::min(text.size(), size);
  for (size_t i = 0; i < n; ++i) out.push_back(asciiByte(text[i]));
}

}  // namespace

Bytes tsl31Message(const Tsl31Display& display) {
  Bytes out;
  out.reserve(kTsl31MessageSize);
  out.push_back(static_cast<uint8_t>(0x80 + std::min(display.address, kTsl31MaxAddress)));
  out.push_back(static_cast<uint8_t>((display.tallies & 0x0F) | (display.brightness & 0x03) << 4));
  appendText(out, display.text, kTsl31TextSize);
  out.resize(kTsl31MessageSize, ' ');
  return out;
}

uint16_t tsl5Control(const Tsl5Display& display) {
  return static_cast<uint16_t>((display.right & 0x03) | (display.textTally & 0x03) << 2 |
                               (display.left & 0x03) << 4 | (display.brightness & 0x03) << 6);
}

std::vector<Bytes> tsl5Packets(uint16_t screen, const std::vector<Tsl5Display>& displays) {
  std::vector<Bytes> packets;
  Bytes packet;
  auto finish = [&] {
    putLe16(packet.data(), static_cast<uint16_t>(packet.size() - 2));
    packets.push_back(std::move(packet));
    packet.clear();
  };
  for (const Tsl5Display& d : displays) {
    size_t textSize = std::min(d.text.size(), kTsl5MaxText);
    if (!packet.empty() && packet.size() + kTsl5DisplayHeader + textSize > kTsl5MaxPacket) {
      finish();
    }
    if (packet.empty()) {
      packet.reserve(kTsl5MaxPacket);
      appendLe16(packet, 0);  // PBC, filled in by finish()
      packet.push_back(0);    // version
      packet.push_back(0);    // flags: ASCII text
      appendLe16(packet, screen);
    }
    appendLe16(packet, d.index);
    appendLe16(packet, tsl5Control(d));
    appendLe16(packet, static_cast<uint16_t>(textSize));
    appendText(packet, d.text, textSize);
  }
  if (!packet.empty()) finish();
  return packets;
}

Bytes dleStx(const Bytes& packet) {
  Bytes out = {0xFE, 0x02};
  out.reserve(2 + packet.size() + packet.size() / 16);
  for (uint8_t b : packet) {
    out.push_back(b);
    if (b == 0xFE) out.push_back(0xFE);
  }
  return out;
}
