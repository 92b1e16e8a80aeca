// quorvel-tally-watch: shows what a TSL 3.1 or TSL 5.0 receiver, or a client of a vMix-style tally
// server, sees. It listens for TSL over UDP or TCP, or connects to a tally server and subscribes,
// and prints one line per display message (or per tally line), so that a show's mapping can be
// checked without a multiviewer or a tally light. Loopback addresses only.
//
// The decoders are written here from the layouts (see src/tsl/tsl.h and src/vmix/vmix_tally.h),
// apart from the encoders, so the tool checks the encoders instead of repeating them. They are
// lenient: what does not fit the layout is printed as an error or a note and reading goes on.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "tool_output.h"

using quorvel_sim::isLoopback;
using quorvel_sim::jsonString;
using quorvel_sim::steadyUs;
using quorvel_sim::wallClock;

namespace {

constexpr size_t kMaxConnections = 16;
constexpr size_t kMaxVmixLine = 65536;  // a longer run without a line end is dropped
constexpr int64_t kReconnectMs = 1000;

enum class Protocol { NONE, TSL31, TSL5, VMIX };

struct Options {
  Protocol protocol = Protocol::NONE;
  bool tcp = false;
  int dleStx = -1;  // -1: by transport (on over TCP, off over UDP)
  std::string listen, connect;
  bool json = false;
};



// Text as a JSON string. Bytes outside ASCII are taken as Latin-1, so the line stays valid UTF-8
// whatever was received.

// Text quoted for a text line: bytes outside printable ASCII as \xNN.
std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += "\\x" + bytesToHexString(&c, 1);
    }
  }
  return out + "\"";
}

// One output line: `text` after the time, or `json` (members without braces) after "t_ms".
void emit(const Options& opt, const std::string& text, const std::string& json) {
  if (opt.json) {
    int64_t us = steadyUs();
    std::printf("{\"t_ms\":%lld.%03lld,%s}\n", static_cast<long long>(us / 1000),
                static_cast<long long>(us % 1000), json.c_str());
  } else {
    std::printf("%s  %s\n", wallClock().c_str(), text.c_str());
  }
  std::fflush(stdout);
}

void emitError(const Options& opt, const char* transport, const std::string& what) {
  emit(opt, std::string(transport) + "  error: " + what,
       "\"transport\":\"" + std::string(transport) + "\",\"error\":" + jsonString(what));
}

// Notes on a display message that does not keep to the layout.
void addNotes(std::string& text, std::string& json, const std::vector<std::string>& notes) {
  if (notes.empty()) return;
  text += "  (";
  json += ",\"notes\":[";
  for (size_t i = 0; i < notes.size(); ++i) {
    text += (i ? "; " : "") + notes[i];
    json += (i ? "," : "") + jsonString(notes[i]);
  }
  text += ")";
  json += "]";
}

bool allPrintable(const std::string& s) {
  for (unsigned char c : s)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

// ---- TSL 3.1: 18 bytes, 0x80 + address, control (tallies bits 0-3, brightness 4-5), 16 text.

void showTsl31(const Options& opt, const char* transport, const uint8_t* m) {
  int address = m[0] - 0x80;
  int control = m[1];
  int brightness = (control >> 4) & 3;
  std::string text(reinterpret_cast<const char*>(m + 2), 16);
  std::string lamps = "----", flags;
  for (int t = 0; t < 4; ++t) {
    if (control & (1 << t)) lamps[t] = static_cast<char>('1' + t);
    flags += std::string(t ? "," : "") + (control & (1 << t) ? "true" : "false");
  }
  std::vector<std::string> notes;
  if (address > 126) notes.push_back("address above 126");
  if (control & 0xC0) notes.push_back("control bits 6-7 set");
  if (!allPrintable(text)) notes.push_back("text not printable ASCII");
  std::string line = std::string(transport) + "  address " + std::to_string(address) +
                     "  tallies " + lamps + "  brightness " + std::to_string(brightness) + "  " +
                     quoted(text);
  std::string json = "\"transport\":\"" + std::string(transport) +
                     "\",\"address\":" + std::to_string(address) + ",\"tallies\":[" + flags +
                     "],\"brightness\":" + std::to_string(brightness) +
                     ",\"text\":" + jsonString(text);
  addNotes(line, json, notes);
  emit(opt, line, json);
}

// Takes every whole message from the front of `buf`. A message starts with a byte with bit 7 set
// (no control or text byte has it), so bytes before one are skipped and reported. At the end of
// a datagram or a connection (`closing`) a tail is reported too.
void readTsl31(const Options& opt, const char* transport, Bytes& buf, bool closing) {
  size_t at = 0;
  while (at < buf.size()) {
    size_t start = at;
    while (start < buf.size() && buf[start] < 0x80) ++start;
    if (start > at) {
      emitError(opt, transport,
                "skipped " + std::to_string(start - at) +
                    " bytes outside a message: " + bytesToHexString(&buf[at], start - at));
      at = start;
      continue;
    }
    if (buf.size() - at < 18) break;
    showTsl31(opt, transport, &buf[at]);
    at += 18;
  }
  if (closing && at < buf.size()) {
    emitError(opt, transport, "incomplete message: " + bytesToHexString(&buf[at], buf.size() - at));
    at = buf.size();
  }
  buf.erase(buf.begin(), buf.begin() + static_cast<long>(at));
}

// ---- TSL 5.0: PBC (LE16), version, flags, screen (LE16), then displays: index, control,
// length (LE16 each) and the text.

const char* colourName(int c) {
  static const char* const kNames[] = {"OFF", "RED", "GREEN", "AMBER"};
  return kNames[c & 3];
}

// The text of a display: ASCII as it is, UTF-16LE (flags bit 0) with each character beyond ASCII
// as '?'.
std::string tsl5Text(const uint8_t* p, size_t size, bool utf16) {
  if (!utf16) return std::string(reinterpret_cast<const char*>(p), size);
  std::string out;
  for (size_t i = 0; i + 1 < size; i += 2) {
    uint16_t unit = getLe16(p + i);
    out += unit < 0x80 ? static_cast<char>(unit) : '?';
  }
  return out;
}

void showTsl5Packet(const Options& opt, const char* transport, const Bytes& p) {
  if (p.size() < 6) {
    emitError(opt, transport,
              "packet of " + std::to_string(p.size()) +
                  " bytes is shorter than its header: " + bytesToHexString(p));
    return;
  }
  int version = p[2], flags = p[3], screen = getLe16(&p[4]);
  std::vector<std::string> packetNotes;
  if (p.size() > 2048) packetNotes.push_back("packet longer than 2048 bytes");
  if (version != 0) packetNotes.push_back("version " + std::to_string(version));
  if (flags & 0x02) {
    std::string line = std::string(transport) + "  screen " + std::to_string(screen) +
                       "  screen control data, " + std::to_string(p.size() - 6) + " bytes";
    std::string json =
        "\"transport\":\"" + std::string(transport) + "\",\"screen\":" + std::to_string(screen) +
        ",\"screen_control\":" + jsonString(bytesToHexString(p.data() + 6, p.size() - 6));
    addNotes(line, json, packetNotes);
    emit(opt, line, json);
    return;
  }
  size_t at = 6;
  int shown = 0;
  while (at < p.size()) {
    if (p.size() - at < 6) {
      emitError(
          opt, transport,
          std::to_string(p.size() - at) + " bytes at the end of the packet, too few for a display");
      return;
    }
    int index = getLe16(&p[at]), control = getLe16(&p[at + 2]);
    size_t length = getLe16(&p[at + 4]);
    if (at + 6 + length > p.size()) {
      emitError(opt, transport,
                "display " + std::to_string(index) + ": " + std::to_string(length) +
                    " bytes of text run past the packet");
      return;
    }
    std::string head = std::string(transport) + "  screen " + std::to_string(screen) + "  index " +
                       std::to_string(index);
    std::string json = "\"transport\":\"" + std::string(transport) +
                       "\",\"screen\":" + std::to_string(screen) +
                       ",\"index\":" + std::to_string(index);
    std::vector<std::string> notes = packetNotes;
    if (control & 0x8000) {
      head += "  control data, " + std::to_string(length) + " bytes";
      json += ",\"control_data\":" + jsonString(bytesToHexString(p.data() + at + 6, length));
    } else {
      std::string text = tsl5Text(p.data() + at + 6, length, flags & 0x01);
      int brightness = (control >> 6) & 3;
      head += std::string("  left ") + colourName(control >> 4) + "  text " +
              colourName(control >> 2) + "  right " + colourName(control) + "  brightness " +
              std::to_string(brightness) + "  " + quoted(text);
      json += std::string(",\"left\":\"") + colourName(control >> 4) + "\",\"text_tally\":\"" +
              colourName(control >> 2) + "\",\"right\":\"" + colourName(control) +
              "\",\"brightness\":" + std::to_string(brightness) + ",\"text\":" + jsonString(text);
      if (control & 0x7F00) notes.push_back("control bits 8-14 set");
      if (!allPrintable(text)) notes.push_back("text not printable ASCII");
    }
    addNotes(head, json, notes);
    emit(opt, head, json);
    ++shown;
    at += 6 + length;
  }
  if (shown == 0)
    emitError(opt, transport, "packet without displays on screen " + std::to_string(screen));
}

// Cuts packets out of a byte stream (TCP) or one datagram (UDP, a framer of its own). Without
// DLE/STX the PBC alone tells where a packet ends; with it a packet starts after FE 02, FE FE
// stands for one FE inside it, and the PBC tells where it ends.
struct Tsl5Framer {
  bool dleStx = false;
  enum State { HUNT, HUNT_FE, BODY, BODY_FE } state = HUNT;
  Bytes packet;   // the packet so far, unwrapped
  Bytes skipped;  // bytes outside any packet (DLE/STX), not yet reported
};

void reportSkipped(const Options& opt, const char* transport, Tsl5Framer& f) {
  if (f.skipped.empty()) return;
  emitError(opt, transport,
            "skipped " + std::to_string(f.skipped.size()) +
                " bytes outside a packet: " + bytesToHexString(f.skipped));
  f.skipped.clear();
}

// True when `f.packet` holds a whole packet, which is then shown and taken off.
bool takeTsl5Packet(const Options& opt, const char* transport, Tsl5Framer& f) {
  if (f.packet.size() < 2) return false;
  size_t whole = 2 + getLe16(f.packet.data());
  if (f.packet.size() < whole) return false;
  Bytes rest(f.packet.begin() + static_cast<long>(whole), f.packet.end());
  f.packet.resize(whole);
  showTsl5Packet(opt, transport, f.packet);
  f.packet = std::move(rest);
  return true;
}

void feedTsl5(const Options& opt, const char* transport, Tsl5Framer& f, const uint8_t* d,
              size_t n) {
  if (!f.dleStx) {
    f.packet.insert(f.packet.end(), d, d + n);
    while (takeTsl5Packet(opt, transport, f)) {
    }
    return;
  }
  for (size_t i = 0; i < n; ++i) {
    uint8_t b = d[i];
    switch (f.state) {
      case Tsl5Framer::HUNT:
        if (b == 0xFE) {
          f.state = Tsl5Framer::HUNT_FE;
        } else {
          f.skipped.push_back(b);
        }
        break;
      case Tsl5Framer::HUNT_FE:
        if (b == 0x02) {
          reportSkipped(opt, transport, f);
          f.packet.clear();
          f.state = Tsl5Framer::BODY;
        } else {
          f.skipped.push_back(0xFE);
          if (b != 0xFE) f.skipped.push_back(b);  // FE FE: maybe FE 02 follows
          f.state = b == 0xFE ? Tsl5Framer::HUNT_FE : Tsl5Framer::HUNT;
        }
        break;
      case Tsl5Framer::BODY:
        if (b == 0xFE) {
          f.state = Tsl5Framer::BODY_FE;
        } else {
          f.packet.push_back(b);
          if (takeTsl5Packet(opt, transport, f)) f.state = Tsl5Framer::HUNT;
        }
        break;
      case Tsl5Framer::BODY_FE:
        if (b == 0xFE) {
          f.packet.push_back(0xFE);
          f.state = takeTsl5Packet(opt, transport, f) ? Tsl5Framer::HUNT : Tsl5Framer::BODY;
        } else if (b == 0x02) {
          emitError(opt, transport,
                    "packet cut short by a new FE 02 after " + std::to_string(f.packet.size()) +
                        " bytes: " + bytesToHexString(f.packet));
          f.packet.clear();
          f.state = Tsl5Framer::BODY;
        } else {
          emitError(opt, transport,
                    "a single FE inside a packet, before " + bytesToHexString(&b, 1) +
                        "; packet dropped");
          f.packet.clear();
          f.skipped.push_back(b);
          f.state = Tsl5Framer::HUNT;
        }
        break;
    }
  }
}

// The end of a datagram or a connection: what is left over is reported.
void endTsl5(const Options& opt, const char* transport, Tsl5Framer& f) {
  if (f.state == Tsl5Framer::HUNT_FE) f.skipped.push_back(0xFE);
  reportSkipped(opt, transport, f);
  if (!f.packet.empty()) {
    emitError(opt, transport, "incomplete packet: " + bytesToHexString(f.packet));
  }
  f.packet.clear();
  f.state = Tsl5Framer::HUNT;
}

// ---- vMix tally: "TALLY OK <digits>", one digit per input: 0 off, 1 program, 2 preview.

void showVmixLine(const Options& opt, const std::string& line) {
  const std::string head = "TALLY OK ";
  if (line.compare(0, head.size(), head) != 0 && line != "TALLY OK") {
    emit(opt, allPrintable(line) ? line : quoted(line), "\"line\":" + jsonString(line));
    return;
  }
  std::string digits = line.size() > head.size() ? line.substr(head.size()) : "";
  std::string text = line, json = "\"line\":" + jsonString(line) + ",\"tally\":[";
  for (size_t i = 0; i < digits.size(); ++i) {
    char d = digits[i];
    const char* state = d == '0' ? "OFF" : d == '1' ? "PROGRAM" : d == '2' ? "PREVIEW" : "?";
    text += std::string(i ? ", " : "  ") + "input " + std::to_string(i + 1) + ": " + state;
    json += std::string(i ? "," : "") + "\"" + state + "\"";
  }
  emit(opt, text, json + "]");
}

// ---- sockets

// "ADDR:PORT" with a loopback IPv4 address.
bool parseEndpoint(const std::string& text, sockaddr_in& out, std::string& error) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) {
    error = "expected ADDR:PORT, got '" + text + "'";
    return false;
  }
  std::string ip = text.substr(0, colon), port = text.substr(colon + 1);
  char* end = nullptr;
  long number = std::strtol(port.c_str(), &end, 10);
  out = sockaddr_in{};
  out.sin_family = AF_INET;
  if (port.empty() || *end != '\0' || number < 0 || number > 65535) {
    error = "bad port '" + port + "'";
    return false;
  }
  if (inet_pton(AF_INET, ip.c_str(), &out.sin_addr) != 1) {
    error = "not an IPv4 address: '" + ip + "'";
    return false;
  }
  if ((ntohl(out.sin_addr.s_addr) >> 24) != 127) {
    error = "only loopback addresses (127.0.0.0/8) are accepted: " + ip;
    return false;
  }
  out.sin_port = htons(static_cast<uint16_t>(number));
  return true;
}

std::string ipText(const sockaddr_in& a) {
  char ip[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  return ip;
}

std::string endpointText(const sockaddr_in& a) {
  return ipText(a) + ":" + std::to_string(ntohs(a.sin_port));
}

// Binds a UDP socket or a TCP listener to `at`; with port 0 `at` gets the port chosen.
int openListener(sockaddr_in& at, bool tcp, std::string& error) {
  int fd = ::socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  if (tcp) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  socklen_t len = sizeof at;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      (tcp && ::listen(fd, 8) != 0) ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len) != 0) {
    error =
        std::string(tcp ? "tcp" : "udp") + " on " + endpointText(at) + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

struct Connection {
  int fd = -1;
  std::string peer;
  Bytes tsl31;
  Tsl5Framer tsl5;
};

bool dleStxOn(const Options& opt) {
  return opt.dleStx < 0 ? opt.tcp : opt.dleStx == 1;
}

void feedTsl(const Options& opt, const char* transport, Bytes& tsl31, Tsl5Framer& tsl5,
             const uint8_t* d, size_t n, bool closing) {
  if (opt.protocol == Protocol::TSL31) {
    tsl31.insert(tsl31.end(), d, d + n);
    readTsl31(opt, transport, tsl31, closing);
  } else {
    feedTsl5(opt, transport, tsl5, d, n);
    if (closing) endTsl5(opt, transport, tsl5);
  }
}

int listenLoop(const Options& opt, sockaddr_in at) {
  std::string error;
  int fd = openListener(at, opt.tcp, error);
  if (fd < 0) {
    std::fprintf(stderr, "quorvel-tally-watch: %s\n", error.c_str());
    return 1;
  }
  const char* transport = opt.tcp ? "tcp" : "udp";
  bool tsl5 = opt.protocol == Protocol::TSL5;
  std::string name = tsl5 ? "TSL 5.0" : "TSL 3.1";
  std::string framing = tsl5 ? (dleStxOn(opt) ? " (DLE/STX)" : " (no DLE/STX)") : "";
  emit(opt, "listening for " + name + " over " + transport + framing + " on " + endpointText(at),
       std::string("\"event\":\"listening\",\"protocol\":\"") + (tsl5 ? "tsl5" : "tsl3.1") +
           "\",\"transport\":\"" + transport + "\"" +
           (tsl5 ? std::string(",\"dle_stx\":") + (dleStxOn(opt) ? "true" : "false") : "") +
           ",\"ip\":" + jsonString(ipText(at)) + ",\"port\":" + std::to_string(ntohs(at.sin_port)));

  std::vector<Connection> conns;
  std::vector<uint8_t> buf(65536);
  while (!quorvel_sim::stopRequested()) {
    std::vector<pollfd> fds = {{fd, POLLIN, 0}};
    for (const Connection& c : conns) fds.push_back({c.fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), 500) <= 0) continue;
    if (!opt.tcp) {
      for (int i = 0; i < 64; ++i) {
        ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n < 0) break;
        Bytes tsl31;
        Tsl5Framer framer;
        framer.dleStx = dleStxOn(opt);
        feedTsl(opt, transport, tsl31, framer, buf.data(), static_cast<size_t>(n), true);
      }
      continue;
    }
    // fds[1..] match `conns` as polled; new connections are accepted after reading.
    for (size_t i = 0; i < conns.size(); ++i) {
      Connection& c = conns[i];
      if (!(fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = ::recv(c.fd, buf.data(), buf.size(), 0);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      bool closing = n <= 0;
      feedTsl(opt, transport, c.tsl31, c.tsl5, buf.data(), n > 0 ? static_cast<size_t>(n) : 0,
              closing);
      if (closing) {
        emit(opt, "connection from " + c.peer + " closed",
             "\"event\":\"closed\",\"peer\":" + jsonString(c.peer));
        ::close(c.fd);
        c.fd = -1;
      }
    }
    std::vector<Connection> open;
    for (Connection& c : conns)
      if (c.fd >= 0) open.push_back(std::move(c));
    conns.swap(open);
    if (fds[0].revents & POLLIN) {
      for (;;) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int cfd =
            ::accept4(fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (cfd < 0) break;
        if (conns.size() >= kMaxConnections) {
          ::close(cfd);
          continue;
        }
        Connection c;
        c.fd = cfd;
        c.peer = endpointText(peer);
        c.tsl5.dleStx = dleStxOn(opt);
        emit(opt, "connection from " + c.peer,
             "\"event\":\"connected\",\"peer\":" + jsonString(c.peer));
        conns.push_back(std::move(c));
      }
    }
  }
  for (Connection& c : conns) {
    feedTsl(opt, transport, c.tsl31, c.tsl5, nullptr, 0, true);
    ::close(c.fd);
  }
  ::close(fd);
  return 0;
}

int connectLoop(const Options& opt, const sockaddr_in& to) {
  std::string where = endpointText(to);
  int fd = -1;
  std::string pending, lastError;
  int64_t retryAt = 0;
  std::vector<char> buf(4096);
  while (!quorvel_sim::stopRequested()) {
    int64_t now = steadyUs() / 1000;
    if (fd < 0 && now >= retryAt) {
      fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        emit(opt, "connected to " + where + ", sending SUBSCRIBE TALLY",
             "\"event\":\"connected\",\"peer\":" + jsonString(where));
        const char kSubscribe[] = "SUBSCRIBE TALLY\r\n";
        ::send(fd, kSubscribe, sizeof kSubscribe - 1, MSG_NOSIGNAL);
        lastError.clear();
        pending.clear();
      } else {
        std::string error = std::strerror(errno);
        if (error != lastError)  // once per outage, not every second
          emit(opt, "cannot connect to " + where + ": " + error + "; trying every second",
               "\"event\":\"unreachable\",\"peer\":" + jsonString(where) +
                   ",\"error\":" + jsonString(error));
        lastError = error;
        ::close(fd);
        fd = -1;
        retryAt = now + kReconnectMs;
      }
    }
    pollfd p = {fd, POLLIN, 0};
    if (fd < 0) {
      ::poll(nullptr, 0, static_cast<int>(kReconnectMs / 4));
      continue;
    }
    if (::poll(&p, 1, 500) <= 0) continue;
    ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (!pending.empty()) showVmixLine(opt, pending);
      emit(opt, "connection to " + where + " closed",
           "\"event\":\"closed\",\"peer\":" + jsonString(where));
      ::close(fd);
      fd = -1;
      retryAt = steadyUs() / 1000 + kReconnectMs;
      continue;
    }
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] != '\n') {
        pending += buf[i];
        if (pending.size() > kMaxVmixLine) {
          emitError(opt, "tcp", "a line longer than 64 KiB, dropped");
          pending.clear();
        }
        continue;
      }
      if (!pending.empty() && pending.back() == '\r') pending.pop_back();
      showVmixLine(opt, pending);
      pending.clear();
    }
  }
  if (fd >= 0) ::close(fd);
  return 0;
}

void usage() {
  std::printf(
      "usage: quorvel-tally-watch --tsl31 [--udp|--tcp] --listen ADDR:PORT [--json]\n"
      "       quorvel-tally-watch --tsl5 [--udp|--tcp] [--dle-stx|--no-dle-stx] --listen "
      "ADDR:PORT [--json]\n"
      "       quorvel-tally-watch --vmix --connect ADDR:PORT [--json]\n"
      "  --tsl31             receive TSL 3.1 (18-byte display messages)\n"
      "  --tsl5              receive TSL 5.0 packets\n"
      "  --vmix              connect to a vMix-style tally server and send SUBSCRIBE TALLY\n"
      "  --udp, --tcp        transport for TSL (default udp); over TCP connections are accepted\n"
      "                      and read as a stream\n"
      "  --dle-stx           TSL 5.0 packets framed by DLE/STX (FE 02, FE doubled); the default\n"
      "                      over TCP. --no-dle-stx: bare packets, the default over UDP\n"
      "  --listen ADDR:PORT  loopback address to listen on; port 0 picks a free one\n"
      "  --connect ADDR:PORT loopback address of the tally server (tried every second)\n"
      "  --json              one JSON object per line instead of text\n"
      "Prints one line per display message (TSL) or per line from the server (vMix). Only\n"
      "loopback addresses (127.0.0.0/8) are accepted. Stops on SIGINT or SIGTERM.\n");
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  int transports = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      usage();
      return 0;
    } else if (a == "--tsl31" || a == "--tsl5" || a == "--vmix") {
      if (opt.protocol != Protocol::NONE) {
        std::fprintf(stderr, "quorvel-tally-watch: give one of --tsl31, --tsl5, --vmix\n");
        return 2;
      }
      opt.protocol = a == "--tsl31"  ? Protocol::TSL31
                     : a == "--tsl5" ? Protocol::TSL5
                                     : Protocol::VMIX;
    } else if (a == "--udp" || a == "--tcp") {
      opt.tcp = a == "--tcp";
      ++transports;
    } else if (a == "--dle-stx" || a == "--no-dle-stx") {
      opt.dleStx = a == "--dle-stx" ? 1 : 0;
    } else if (a == "--listen" && i + 1 < argc) {
      opt.listen = argv[++i];
    } else if (a == "--connect" && i + 1 < argc) {
      opt.connect = argv[++i];
    } else if (a == "--json") {
      opt.json = true;
    } else {
      std::fprintf(stderr, "quorvel-tally-watch: bad option '%s' (try --help)\n", a.c_str());
      return 2;
    }
  }
  const char* misuse = nullptr;
  if (opt.protocol == Protocol::NONE) {
    misuse = "give one of --tsl31, --tsl5, --vmix";
  } else if (opt.protocol == Protocol::VMIX) {
    if (opt.connect.empty() || !opt.listen.empty() || transports > 0 || opt.dleStx >= 0)
      misuse = "--vmix takes --connect ADDR:PORT (and --json) only";
  } else if (opt.listen.empty() || !opt.connect.empty() || transports > 1) {
    misuse = "TSL takes --listen ADDR:PORT and at most one of --udp, --tcp";
  } else if (opt.protocol == Protocol::TSL31 && opt.dleStx >= 0) {
    misuse = "--dle-stx and --no-dle-stx go with --tsl5";
  }
  if (misuse) {
    std::fprintf(stderr, "quorvel-tally-watch: %s (try --help)\n", misuse);
    return 2;
  }
  sockaddr_in at{};
  std::string error;
  if (!parseEndpoint(opt.protocol == Protocol::VMIX ? opt.connect : opt.listen, at, error)) {
    std::fprintf(stderr, "quorvel-tally-watch: %s\n", error.c_str());
    return 2;
  }
  quorvel_sim::catchStopSignals();
  int status = opt.protocol == Protocol::VMIX ? connectLoop(opt, at) : listenLoop(opt, at);
  emit(opt, "stopped", "\"event\":\"stopped\"");
  return status;
}
