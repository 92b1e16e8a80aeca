#include "visca/visca_bytes.h"

#include <cerrno>
#include <cstdlib>

static bool isSeparator(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' || c == ',';
}

static bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// One or two hex digits, with or without 0x: the forms that stand for exactly one byte.
static bool exactByte(const std::string& piece) {
  size_t start =
      piece.size() > 2 && piece[0] == '0' && (piece[1] == 'x' || piece[1] == 'X') ? 2 : 0;
  size_t digits = piece.size() - start;
  if (digits < 1 || digits > 2) return false;
  for (size_t i = start; i < piece.size(); ++i)
    if (!isHexDigit(piece[i])) return false;
  return true;
}

bool hexStringToBytes(const std::string& text, Bytes& out, std::string* bad,
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
    // strtoull takes a sign and 0x as strtoul does and reads 64 bits on every platform here.
    const char* start = piece.c_str();
    char* stop = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(start, &stop, 16);
    if (stop == start || errno == ERANGE) {
      if (bad) *bad = piece;
      return false;
    }
    uint8_t byte = static_cast<uint8_t>(value & 0xFF);
    bytes.push_back(byte);
    if (lossy && !exactByte(piece)) lossy->push_back({piece, byte});
  }
  out = std::move(bytes);
  return true;
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
