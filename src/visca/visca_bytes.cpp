#include "visca/visca_bytes.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

static bool isSeparator(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' || c == ',';
}

static bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Hex pairs, or a single hex digit, with or without 0x: the pieces read without loss. False for
// anything else.
static bool exactBytes(const std::string& piece, Bytes& bytes) {
  size_t start =
      piece.size() > 2 && piece[0] == '0' && (piece[1] == 'x' || piece[1] == 'X') ? 2 : 0;
  size_t digits = piece.size() - start;
  if (digits == 0 || (digits > 1 && digits % 2 != 0)) return false;
  for (size_t i = start; i < piece.size(); ++i)
    if (!isHexDigit(piece[i])) return false;
  if (digits == 1) {
    bytes.push_back(static_cast<uint8_t>(std::strtoul(piece.c_str() + start, nullptr, 16)));
    return true;
  }
  for (size_t i = start; i < piece.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::strtoul(piece.substr(i, 2).c_str(), nullptr, 16)));
  return true;
}

// What a manual's placeholder stands for: "8x" (x: the camera's number), "0p" (p, q, r ...: a
// parameter). Empty for a piece that is none.
static std::string placeholderHint(const std::string& piece) {
  if (piece.size() != 2 || piece == "0x" || piece == "0X") return "";
  for (int i = 0; i < 2; ++i) {
    const char letter = piece[i], other = piece[1 - i];
    if (letter < 'p' || letter > 'z' || !isHexDigit(other)) continue;
    return letter == 'x' || letter == 'y' ? "the camera address, 81 for camera 1"
                                          : "the parameter, see the camera's tally command";
  }
  return "";
}

bool hexStringToBytes(const std::string& text, Bytes& out, HexProblem* problem,
                      std::vector<LossyPiece>* lossy) {
  Bytes bytes;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    if (isSeparator(text[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < n && !isSeparator(text[end])) ++end;
    const std::string piece = text.substr(i, end - i);
    i = end;
    if (exactBytes(piece, bytes)) continue;
    const std::string hint = placeholderHint(piece);
    // strtoull takes a sign and 0x as strtoul does and reads 64 bits on every platform here.
    const char* start = piece.c_str();
    char* stop = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(start, &stop, 16);
    if (!hint.empty() || stop == start || errno == ERANGE) {
      if (problem) *problem = {piece, hint};
      return false;
    }
    uint8_t byte = static_cast<uint8_t>(value & 0xFF);
    bytes.push_back(byte);
    if (lossy) lossy->push_back({piece, byte});
  }
  out = std::move(bytes);
  return true;
}

void viscaIpFrame(const Bytes& command, uint32_t sequence, Bytes& out) {
  out.resize(kViscaIpHeader + command.size());
  out[0] = 0x01;
  out[1] = 0x00;
  putBe16(&out[2], static_cast<uint16_t>(command.size()));
  putBe32(&out[4], sequence);
  std::copy(command.begin(), command.end(), out.begin() + kViscaIpHeader);
}

Bytes schemeAFromB(const Bytes& command) {
  Bytes a = command;
  for (size_t i = 0; i + 4 <= a.size(); ++i) {
    if (a[i] == 0x7E && a[i + 1] == 0x01 && a[i + 2] == 0x0A && a[i + 3] == 0x01) a[i + 3] = 0x00;
  }
  return a;
}

Bytes viscaIpPrefix() { return Bytes{0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}; }

Bytes PrefixPrepender::operator()(const Bytes& command) const {
  Bytes out;
  out.reserve(prefix.size() + command.size());
  out.insert(out.end(), prefix.begin(), prefix.end());
  out.insert(out.end(), command.begin(), command.end());
  return out;
}

PrefixPrepender prependPrefix(const Bytes& prefix) { return PrefixPrepender{prefix}; }

CommandForms commandForms(const Bytes& command) {
  PrefixPrepender prepend = prependPrefix(viscaIpPrefix());
  CommandForms f;
  f.plain = command;
  f.schemeA = schemeAFromB(command);
  f.prefixed = prepend(f.plain);
  f.schemeAPrefixed = prepend(f.schemeA);
  return f;
}
