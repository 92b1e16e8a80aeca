#include "vmix/vmix_tally.h"

#include <cctype>

namespace {

bool isSpace(char c) {
  return c == ' ' || c == '\t';
}

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && isSpace(line[i])) ++i;
    size_t start = i;
    while (i < line.size() && !isSpace(line[i])) ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

bool sameWord(const std::string& word, const char* upper) {
  size_t i = 0;
  for (; i < word.size() && upper[i] != '\0'; ++i)
    if (std::toupper(static_cast<unsigned char>(word[i])) != upper[i]) return false;
  return i == word.size() && upper[i] == '\0';
}

// Appends the answer to one line (its line end removed); nothing for an empty line.
void answer(VmixClient& client, const std::string& line, const std::string& digits,
            std::string& out) {
  std::vector<std::string> w = words(line);
  if (w.empty()) return;
  if (w.size() == 2 && sameWord(w[0], "SUBSCRIBE") && sameWord(w[1], "TALLY")) {
    client.subscribed = true;
    out += "SUBSCRIBE OK TALLY\r\n" + vmixTallyLine(digits);
  } else if (w.size() == 2 && sameWord(w[0], "UNSUBSCRIBE") && sameWord(w[1], "TALLY")) {
    client.subscribed = false;
    out += "UNSUBSCRIBE OK TALLY\r\n";
  } else if (w.size() == 1 && sameWord(w[0], "TALLY")) {
    out += vmixTallyLine(digits);
  } else {
    out += w[0] + " ER Not supported\r\n";
  }
}

}  // namespace

bool vmixFeed(VmixClient& client, const uint8_t* data, size_t size, const std::string& digits,
              std::string& out) {
  std::string& pending = client.pending;
  for (size_t i = 0; i < size; ++i) {
    char c = static_cast<char>(data[i]);
    if (c != '\n') {
      pending += c;
      // A CR at the end may be the first half of the line end, so it is not counted yet.
      if (pending.size() - (pending.back() == '\r' ? 1 : 0) > kVmixMaxLine) return false;
      continue;
    }
    std::string line;
    line.swap(pending);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    answer(client, line, digits, out);
  }
  return true;
}

void vmixChanged(const VmixClient& client, const std::string& digits, std::string& out) {
  if (client.subscribed) out += vmixTallyLine(digits);
}

std::string vmixDigits(const std::vector<VmixTally>& inputs) {
  std::string digits;
  digits.reserve(inputs.size());
  for (VmixTally t : inputs) digits += static_cast<char>('0' + static_cast<int>(t));
  return digits;
}

std::string vmixTallyLine(const std::string& digits) {
  return "TALLY OK " + digits + "\r\n";
}
