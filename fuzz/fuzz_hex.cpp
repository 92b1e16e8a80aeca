// Feeds the input as a command text to hexStringToBytes, as loading a configuration does with
// the three configured texts. A text that converts must give the bytes of each piece of hex
// pairs (or of one hex digit) and one byte for every other piece, reported as lossy; one that
// does not convert must name a piece of the text and leave the output alone. What bytesToHexString writes for any bytes
// (the converted ones, and the raw input itself) must convert back to the same bytes, also
// strictly.
#include <sanitizer/common_interface_defs.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "visca/visca_bytes.h"

namespace {

// Written through the sanitizer runtime, whose report stream stays open under -close_fd_mask.
[[noreturn]] void fail(const char* what) {
  std::string line = std::string("hex: ") + what;
  __sanitizer_report_error_summary(line.c_str());
  std::abort();
}

void checkWritten(const Bytes& bytes) {
  const std::string text = bytesToHexString(bytes);
  if (text != bytesToHexString(bytes.data(), bytes.size())) fail("the two overloads differ");
  if (text.size() != (bytes.empty() ? 0 : bytes.size() * 3 - 1))
    fail("written text has a bad size");
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    bool ok = (i % 3 == 2) ? c == ' ' : ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    if (!ok) fail("written text is not two lower-case digits per byte");
  }
  Bytes back, strict;
  if (!hexStringToBytes(text, back) || back != bytes) fail("written text does not convert back");
  if (!hexPairsToBytes(text, strict) || strict != bytes) fail("written text is not hex pairs");
}

// The bytes of a piece of hex pairs, or of one hex digit, after an optional 0x; 0 for any other
// piece.
size_t exactBytes(const std::string& p) {
  size_t start = p.size() > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') ? 2 : 0;
  size_t digits = p.size() - start;
  if (digits == 0 || (digits > 1 && digits % 2)) return 0;
  for (size_t i = start; i < p.size(); ++i)
    if (!std::isxdigit(static_cast<unsigned char>(p[i]))) return 0;
  return digits == 1 ? 1 : digits / 2;
}

// The bytes a text gives when it converts, and how many of its pieces are lossy.
size_t countBytes(const std::string& text, size_t& lossyPieces) {
  size_t bytes = 0;
  lossyPieces = 0;
  std::string piece;
  for (size_t i = 0; i <= text.size(); ++i) {
    bool separator =
        i == text.size() || std::isspace(static_cast<unsigned char>(text[i])) || text[i] == ',';
    if (!separator) {
      piece += text[i];
    } else if (!piece.empty()) {
      size_t n = exactBytes(piece);
      bytes += n ? n : 1;
      lossyPieces += n == 0;
      piece.clear();
    }
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Bytes bytes = {0x5A};
  HexProblem bad;
  std::vector<LossyPiece> lossy;
  if (hexStringToBytes(text, bytes, &bad, &lossy)) {
    size_t lossyPieces = 0;
    if (bytes.size() != countBytes(text, lossyPieces)) fail("not the bytes of the pieces");
    if (lossy.size() != lossyPieces) fail("lossy pieces miscounted");
    for (const LossyPiece& p : lossy)
      if (text.find(p.piece) == std::string::npos) fail("a lossy piece that is not in the text");
    checkWritten(bytes);
    const Bytes a = schemeAFromB(bytes);
    if (a.size() != bytes.size()) fail("scheme A changed the length");
    for (size_t i = 0; i + 4 <= a.size(); ++i)
      if (a[i] == 0x7E && a[i + 1] == 0x01 && a[i + 2] == 0x0A && a[i + 3] == 0x01)
        fail("scheme A left a 7E 01 0A 01 run");
  } else {
    if (bad.piece.empty() || text.find(bad.piece) == std::string::npos)
      fail("the bad piece is not named");
    if (bytes != Bytes{0x5A}) fail("a failed conversion changed its output");
  }
  checkWritten(Bytes(data, data + size));
  return 0;
}
