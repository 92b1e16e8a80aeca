// Feeds the input as a command text to hexStringToBytes, as buildCommandSet does with the three
// configured texts. Only std::invalid_argument and std::out_of_range may come out of it. A text
// that converts must give one byte per piece, and what bytesToHexString writes for any bytes
// (the converted ones, and the raw input itself) must convert back to the same bytes.
#include <sanitizer/common_interface_defs.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "visca/visca_bytes.h"

namespace {

// Written through the sanitizer runtime, whose report stream stays open under -close_fd_mask.
[[noreturn]] void fail(const char* what) {
  std::string line = std::string("hex: ") + what;
  __sanitizer_report_error_summary(line.c_str());
  std::abort();
}

size_t countPieces(const std::string& text) {
  size_t pieces = 0;
  bool inPiece = false;
  for (char c : text) {
    bool separator = std::isspace(static_cast<unsigned char>(c)) || c == ',';
    if (!separator && !inPiece) ++pieces;
    inPiece = !separator;
  }
  return pieces;
}

void checkWritten(const Bytes& bytes) {
  const std::string text = bytesToHexString(bytes);
  if (text != bytesToHexString(bytes.data(), bytes.size())) fail("the two overloads differ");
  if (text.size() != (bytes.empty() ? 0 : bytes.size() * 3 - 1)) fail("written text has a bad size");
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    bool ok = (i % 3 == 2) ? c == ' ' : ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    if (!ok) fail("written text is not two lower-case digits per byte");
  }
  // Throws nothing: a throw from here escapes and is reported as a finding.
  if (hexStringToBytes(text) != bytes) fail("written text does not convert back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const Bytes bytes = hexStringToBytes(text);
    if (bytes.size() != countPieces(text)) fail("not one byte per piece");
    checkWritten(bytes);

    const Bytes a = schemeAFromB(bytes);
    if (a.size() != bytes.size()) fail("scheme A changed the length");
    for (size_t i = 0; i + 4 <= a.size(); ++i)
      if (a[i] == 0x7E && a[i + 1] == 0x01 && a[i + 2] == 0x0A && a[i + 3] == 0x01)
        fail("scheme A left a 7E 01 0A 01 run");
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
  }
  checkWritten(Bytes(data, data + size));
  return 0;
}
