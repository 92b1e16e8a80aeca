#include "visca/visca_bytes.h"

#include <cctype>
#include <stdexcept>
#include <string>
#include <utility>

#include "config/config.h"

Bytes hexStringToBytes(const std::string& text) {
  Bytes out;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    if (std::isspace(static_cast<unsigned char>(text[i])) || text[i] == ',') {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < n && !std::isspace(static_cast<unsigned char>(text[end])) && text[end] != ',')
      ++end;
    // std::stoul has strtoul's base-16 semantics and raises the two conversion errors.
    unsigned long value = std::stoul(text.substr(i, end - i), nullptr, 16);
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    i = end;
  }
  return out;
}

std::string bytesToHexString(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 3);
  for (size_t i = 0; i < size; ++i) {
    if (i > 0) text += ' ';
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 0x0F];
  }
  return text;
}

std::string bytesToHexString(const Bytes& bytes) {
  return bytesToHexString(bytes.data(), bytes.size());
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

bool buildCommandSet(const Config& config, const Bytes& prefix, CommandSet& s,
                     std::string& error) {
  const std::pair<const char*, const std::string*> texts[] = {
      {"visca_program", &config.visca_program},
      {"visca_preview", &config.visca_preview},
      {"visca_off", &config.visca_off}};
  Bytes* plain[] = {&s.program, &s.preview, &s.off};
  for (int i = 0; i < 3; ++i) {
    try {
      *plain[i] = hexStringToBytes(*texts[i].second);
    } catch (const std::logic_error&) {  // std::invalid_argument or std::out_of_range
      error = std::string("Invalid hex in ") + texts[i].first + ": " + *texts[i].second;
      return false;
    }
  }

  s.programA = schemeAFromB(s.program);
  s.previewA = schemeAFromB(s.preview);
  s.offA = schemeAFromB(s.off);
  PrefixPrepender prepend = prependPrefix(prefix);
  s.programP = prepend(s.program);
  s.previewP = prepend(s.preview);
  s.offP = prepend(s.off);
  s.programAP = prepend(s.programA);
  s.previewAP = prepend(s.previewA);
  s.offAP = prepend(s.offA);
  return true;
}
