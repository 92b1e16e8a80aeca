// quorvel-camera-sim: PTZ cameras' tally lamps on a loopback address. Each camera takes VISCA
// commands over UDP and TCP on its own port, with or without the 8-byte VISCA-over-IP header, and
// every command received is printed on one line (naming the port when there are several).
//
// "Accept only" (--only-tcp, --only-prefixed): a UDP datagram cannot be refused, so commands
// that do not qualify are still received and printed, marked as ignored; they neither change
// the lamp nor get an answer. A sender that tries several deliveries in turn thus shows which
// of them lit the lamp.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
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

namespace {

volatile sig_atomic_t gStop = 0;
void onSignal(int) {
  gStop = 1;
}

constexpr size_t kHeaderSize = 8;
constexpr size_t kMaxTcpConnections = 64;
constexpr int64_t kTcpIdleMs = 10000;
constexpr size_t kMaxMessage = 64;  // longer runs without a terminator are reported as junk

// How tally commands are answered: not at all, with ACK and completion, or with an error
// (90 6y ee FF: y the socket, 1 here; ee the code, 41 "not executable" by default).
enum class Reply { NONE, ACK, ERROR };

struct Options {
  std::string address = "127.0.0.1";
  std::vector<long> ports;  // one camera each; none given: 52381
  bool json = false;
  Reply reply = Reply::NONE;
  uint8_t errorCode = 0x41;
  bool onlyTcp = false;
  bool onlyPrefixed = false;
  bool color = false;
  bool namePorts = false;  // several cameras: every line names the port
};

enum class Lamp { OFF, PREVIEW, PROGRAM };

const char* lampName(Lamp l) {
  return l == Lamp::PROGRAM ? "PROGRAM" : l == Lamp::PREVIEW ? "PREVIEW" : "OFF";
}

struct TcpConn {
  int fd = -1;
  Bytes buf;
  int64_t lastMs = 0;
};

// One camera: a port with its own lamp, UDP socket, TCP listener and connections.
struct Camera {
  long port = 0;
  int udp = -1;
  int listener = -1;
  Lamp lamp = Lamp::OFF;
  uint64_t commands = 0;
  std::vector<TcpConn> conns;
};

// What one received message turned out to be.
struct Received {
  const char* transport = "udp";
  bool prefixed = false;
  Bytes bytes;         // the VISCA message, header removed
  bool tally = false;  // one of the six tally commands
  char scheme = 0;     // 'A' or 'B' for a tally command
  Lamp state = Lamp::OFF;
};

int64_t steadyUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string wallClock() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  localtime_r(&tv.tv_sec, &local);
  char stamp[20];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(tv.tv_usec / 1000));
  return stamp;
}

bool isLoopback(const sockaddr_in& a) {
  return (ntohl(a.sin_addr.s_addr) >> 24) == 127;
}

// 8x 01 7E 01 0A 0s 0p FF: s is 01 in scheme B and 00 in scheme A; p is 05 program, 04 preview,
// 00 off. x is the camera address, 1 to 7.
void classify(Received& r) {
  const Bytes& m = r.bytes;
  if (m.size() != 8 || m[0] < 0x81 || m[0] > 0x87 || m[1] != 0x01 || m[2] != 0x7E || m[3] != 0x01 ||
      m[4] != 0x0A || m[5] > 0x01 || m[7] != 0xFF)
    return;
  if (m[6] == 0x05) {
    r.state = Lamp::PROGRAM;
  } else if (m[6] == 0x04) {
    r.state = Lamp::PREVIEW;
  } else if (m[6] == 0x00) {
    r.state = Lamp::OFF;
  } else {
    return;
  }
  r.tally = true;
  r.scheme = m[5] == 0x01 ? 'B' : 'A';
}

const char* colorOf(Lamp l) {
  return l == Lamp::PROGRAM ? "\033[1;97;41m" : l == Lamp::PREVIEW ? "\033[1;30;42m" : "\033[2m";
}

std::string twoHex(uint8_t b) { return bytesToHexString(&b, 1); }

// Prints the message, updates the lamp and says whether the camera answers it: a tally command
// that qualifies. In error mode the camera answers with the error and leaves its lamp as it was.
bool handle(const Options& opt, Camera& cam, Received& r) {
  classify(r);
  ++cam.commands;
  std::string ignored;
  if (opt.onlyTcp && std::strcmp(r.transport, "tcp") != 0) ignored = "only TCP accepted";
  if (opt.onlyPrefixed && !r.prefixed)
    ignored = ignored.empty() ? "only prefixed accepted" : "only prefixed TCP accepted";
  bool answer = ignored.empty() && r.tally;
  bool refused = answer && opt.reply == Reply::ERROR;
  bool acted = answer && !refused;
  if (acted) cam.lamp = r.state;

  std::string line;
  if (opt.json) {
    char t[32];
    int64_t us = steadyUs();
    std::snprintf(t, sizeof t, "%lld.%03lld", static_cast<long long>(us / 1000),
                  static_cast<long long>(us % 1000));
    line = std::string("{\"t_ms\":") + t +
           (opt.namePorts ? ",\"port\":" + std::to_string(cam.port) : "") + ",\"transport\":\"" +
           r.transport + "\",\"prefixed\":" + (r.prefixed ? "true" : "false") +
           ",\"scheme\":" + (r.tally ? std::string("\"") + r.scheme + "\"" : "null") +
           ",\"state\":" + (r.tally ? std::string("\"") + lampName(r.state) + "\"" : "null") +
           ",\"accepted\":" + (ignored.empty() && !refused ? "true" : "false") +
           (refused ? ",\"error\":\"" + twoHex(opt.errorCode) + "\"" : "") + ",\"lamp\":\"" +
           lampName(cam.lamp) + "\",\"hex\":\"" + bytesToHexString(r.bytes) + "\"}";
  } else {
    std::string how = std::string(r.transport) + (r.prefixed ? "+prefix" : "");
    how.resize(11, ' ');
    line = wallClock() + "  ";
    if (opt.namePorts) {
      std::string port = std::to_string(cam.port);
      line += std::string(5 - std::min<size_t>(5, port.size()), ' ') + port + "  ";
    }
    line += how + " ";
    if (!r.tally) {
      line += "unknown  " + bytesToHexString(r.bytes);
    } else {
      std::string state = lampName(r.state);
      std::string shown = state;
      shown.resize(7, ' ');
      if (opt.color && acted)
        shown = colorOf(r.state) + (" " + state + " ") + "\033[0m" + shown.substr(state.size());
      line += shown + "  scheme " + r.scheme + "  " + bytesToHexString(r.bytes);
    }
    if (!ignored.empty()) line += "  (ignored: " + ignored + ")";
    if (refused) line += "  (answered error " + twoHex(opt.errorCode) + ")";
  }
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  return answer;
}

// ACK then completion, or the error, each behind a reply header (payload type 01 11, then the
// length of the message) when the command had a header.
std::vector<Bytes> answers(const Options& opt, bool prefixed) {
  std::vector<Bytes> out = {{0x90, 0x41, 0xFF}, {0x90, 0x51, 0xFF}};
  if (opt.reply == Reply::ERROR) out = {{0x90, 0x61, opt.errorCode, 0xFF}};
  if (prefixed)
    for (Bytes& m : out) {
      Bytes head = {0x01, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
      putBe16(&head[2], static_cast<uint16_t>(m.size()));
      m.insert(m.begin(), head.begin(), head.end());
    }
  return out;
}

// Splits a run of VISCA bytes at each FF terminator; a tail without one is reported as it is.
std::vector<Bytes> splitMessages(const uint8_t* d, size_t n) {
  std::vector<Bytes> out;
  Bytes cur;
  for (size_t i = 0; i < n; ++i) {
    cur.push_back(d[i]);
    if (d[i] == 0xFF) {
      out.push_back(cur);
      cur.clear();
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

void onDatagram(const Options& opt, Camera& cam, const uint8_t* d, size_t n,
                const sockaddr_in& from) {
  // A VISCA message starts with 8x; anything else in front is the VISCA-over-IP header, whose
  // bytes 2-3 give the length of the message after it (0 means: up to the terminator).
  bool prefixed = n >= kHeaderSize && (d[0] & 0x80) == 0;
  size_t start = prefixed ? kHeaderSize : 0;
  size_t len = n - start;
  if (prefixed) {
    size_t declared = getBe16(d + 2);
    if (declared > 0 && declared < len) len = declared;
  }
  std::vector<Bytes> messages = splitMessages(d + start, len);
  if (messages.empty()) messages.emplace_back();  // a header alone
  for (const Bytes& m : messages) {
    Received r;
    r.transport = "udp";
    r.prefixed = prefixed;
    r.bytes = m;
    if (handle(opt, cam, r) && opt.reply != Reply::NONE && isLoopback(from)) {
      for (const Bytes& a : answers(opt, prefixed))
        ::sendto(cam.udp, a.data(), a.size(), 0, reinterpret_cast<const sockaddr*>(&from),
                 sizeof from);
    }
  }
}

// Takes every complete message from the front of a TCP buffer. At the end of the stream
// (`closing`) whatever is left is reported too.
void drainTcp(const Options& opt, Camera& cam, TcpConn& c, bool closing) {
  for (;;) {
    Bytes& b = c.buf;
    if (b.empty()) return;
    bool prefixed = (b[0] & 0x80) == 0;
    size_t start = 0, end = 0;  // message is b[start, end)
    if (prefixed) {
      if (b.size() < kHeaderSize && !closing) return;
      start = std::min(kHeaderSize, b.size());
      size_t declared = b.size() >= 4 ? getBe16(&b[2]) : 0;
      if (declared > 0) {
        if (b.size() < start + declared && !closing) return;
        end = std::min(b.size(), start + declared);
      }
    }
    if (end == 0) {
      size_t i = start;
      while (i < b.size() && b[i] != 0xFF) ++i;
      if (i < b.size()) {
        end = i + 1;
      } else if (closing || b.size() - start > kMaxMessage) {
        end = b.size();
      } else {
        return;  // wait for the rest
      }
    }
    Received r;
    r.transport = "tcp";
    r.prefixed = prefixed;
    r.bytes.assign(b.begin() + static_cast<long>(start), b.begin() + static_cast<long>(end));
    b.erase(b.begin(), b.begin() + static_cast<long>(end));
    if (handle(opt, cam, r) && opt.reply != Reply::NONE) {
      for (const Bytes& a : answers(opt, prefixed)) ::send(c.fd, a.data(), a.size(), MSG_NOSIGNAL);
    }
  }
}

bool openSockets(const std::string& address, Camera& cam, std::string& err) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) {
    err = "not an IPv4 address: " + address;
    return false;
  }
  if (!isLoopback(a)) {
    err = "only loopback addresses (127.0.0.0/8) are served: " + address;
    return false;
  }
  // With port 0 the system picks the UDP port; TCP then takes the same number. Another
  // program may hold that TCP port already, so try a few times.
  for (int attempt = 0; attempt < 20; ++attempt) {
    a.sin_port = htons(static_cast<uint16_t>(cam.port));
    cam.udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    cam.listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(cam.listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(cam.udp, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      err = "udp bind: " + std::string(std::strerror(errno));
      return false;
    }
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    ::getsockname(cam.udp, reinterpret_cast<sockaddr*>(&bound), &len);
    a.sin_port = bound.sin_port;
    if (::bind(cam.listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::listen(cam.listener, 16) == 0) {
      cam.port = ntohs(bound.sin_port);
      return true;
    }
    err = "tcp bind: " + std::string(std::strerror(errno));
    ::close(cam.udp);
    ::close(cam.listener);
    cam.udp = cam.listener = -1;
    if (cam.port != 0) return false;
  }
  return false;
}

// One round for one camera after a poll: `fds` are its UDP socket, its listener and its
// connections, in that order, as polled.
void serve(const Options& opt, Camera& cam, const pollfd* fds, int64_t now) {
  if (fds[0].revents & POLLIN) {
    uint8_t buf[2048];
    for (int i = 0; i < 64; ++i) {
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n = ::recvfrom(cam.udp, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) break;
      onDatagram(opt, cam, buf, static_cast<size_t>(n), from);
    }
  }
  // Read the open connections before accepting new ones (fds[2..] match `conns` as polled).
  for (size_t i = 0; i < cam.conns.size(); ++i) {
    TcpConn& c = cam.conns[i];
    bool closing = false;
    if (fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) {
      uint8_t buf[2048];
      ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
      if (n > 0) {
        c.buf.insert(c.buf.end(), buf, buf + n);
        c.lastMs = now;
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        closing = true;
      }
    }
    if (now - c.lastMs > kTcpIdleMs) closing = true;
    drainTcp(opt, cam, c, closing);
    if (closing) {
      ::close(c.fd);
      c.fd = -1;
    }
  }
  cam.conns.erase(
      std::remove_if(cam.conns.begin(), cam.conns.end(), [](const TcpConn& c) { return c.fd < 0; }),
      cam.conns.end());
  if (fds[1].revents & POLLIN) {
    for (;;) {
      int fd = ::accept4(cam.listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) break;
      if (cam.conns.size() >= kMaxTcpConnections) {
        ::close(fd);
        continue;
      }
      cam.conns.push_back({fd, Bytes(), now});
    }
  }
}

// --reply, --reply=error or --reply=error:CODE (two hex digits).
bool parseReply(const std::string& a, Options& opt) {
  if (a == "--reply") {
    opt.reply = Reply::ACK;
    return true;
  }
  if (a.rfind("--reply=error", 0) != 0) return false;
  std::string code = a.substr(13);
  if (code.empty()) {
    opt.errorCode = 0x41;
  } else {
    if (code.size() != 3 || code[0] != ':' || !std::isxdigit(static_cast<unsigned char>(code[1])) ||
        !std::isxdigit(static_cast<unsigned char>(code[2])))
      return false;
    opt.errorCode = static_cast<uint8_t>(std::strtol(code.c_str() + 1, nullptr, 16));
  }
  opt.reply = Reply::ERROR;
  return true;
}

void usage() {
  std::printf(
      "usage: quorvel-camera-sim [options]\n"
      "  --address IP      loopback address to listen on (default 127.0.0.1)\n"
      "  --port N          UDP and TCP port (default 52381; 0 picks a free one); give it again\n"
      "                    for more cameras, each with its own port and lamp\n"
      "  --json            one JSON object per line instead of text\n"
      "  --reply           answer tally commands with ACK (90 41 FF) and completion (90 51 FF)\n"
      "  --reply=error     answer them with the error 90 61 41 FF (not executable) instead, and\n"
      "                    leave the lamp as it was\n"
      "  --reply=error:CODE  the same with the error code CODE (two hex digits)\n"
      "  --only-tcp        light the lamp only for commands received over TCP\n"
      "  --only-prefixed   light the lamp only for commands behind the 8-byte header\n"
      "  --color/--no-color  colour the lamp state (default: when writing to a terminal)\n"
      "Commands that do not qualify under --only-* are printed as ignored. Answers go behind\n"
      "the 8-byte header (01 11 ...) when the command had one. With several ports every line\n"
      "names the port (text: after the time; JSON: a \"port\" member).\n");
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  int color = -1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      usage();
      return 0;
    } else if (a == "--address" && i + 1 < argc) {
      opt.address = argv[++i];
    } else if (a == "--port" && i + 1 < argc) {
      char* end = nullptr;
      long port = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || port < 0 || port > 65535) {
        std::fprintf(stderr, "quorvel-camera-sim: bad port '%s'\n", argv[i]);
        return 2;
      }
      opt.ports.push_back(port);
    } else if (a == "--json") {
      opt.json = true;
    } else if (parseReply(a, opt)) {
    } else if (a == "--only-tcp") {
      opt.onlyTcp = true;
    } else if (a == "--only-prefixed") {
      opt.onlyPrefixed = true;
    } else if (a == "--color") {
      color = 1;
    } else if (a == "--no-color") {
      color = 0;
    } else {
      std::fprintf(stderr, "quorvel-camera-sim: bad option '%s' (try --help)\n", a.c_str());
      return 2;
    }
  }
  opt.color = !opt.json && (color == 1 || (color == -1 && isatty(STDOUT_FILENO)));
  if (opt.ports.empty()) opt.ports.push_back(52381);
  opt.namePorts = opt.ports.size() > 1;

  std::vector<Camera> cams(opt.ports.size());
  for (size_t i = 0; i < cams.size(); ++i) {
    std::string err;
    cams[i].port = opt.ports[i];
    if (!openSockets(opt.address, cams[i], err)) {
      std::fprintf(stderr, "quorvel-camera-sim: port %ld: %s\n", opt.ports[i], err.c_str());
      return 1;
    }
  }
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::string modes = std::string(opt.onlyTcp ? " only-tcp" : "") +
                      (opt.onlyPrefixed ? " only-prefixed" : "") +
                      (opt.reply == Reply::ACK ? " reply" : "") +
                      (opt.reply == Reply::ERROR ? " reply=error:" + twoHex(opt.errorCode) : "");
  for (const Camera& cam : cams) {
    if (opt.json)
      std::printf("{\"event\":\"listening\",\"address\":\"%s\",\"port\":%ld}\n",
                  opt.address.c_str(), cam.port);
    else
      std::printf("%s  camera simulator on %s:%ld (udp+tcp)%s, lamp OFF\n", wallClock().c_str(),
                  opt.address.c_str(), cam.port, modes.c_str());
  }
  std::fflush(stdout);

  while (!gStop) {
    std::vector<pollfd> fds;
    for (const Camera& cam : cams) {
      fds.push_back({cam.udp, POLLIN, 0});
      fds.push_back({cam.listener, POLLIN, 0});
      for (const TcpConn& c : cam.conns) fds.push_back({c.fd, POLLIN, 0});
    }
    if (::poll(fds.data(), fds.size(), 200) < 0) continue;
    int64_t now = steadyUs() / 1000;
    size_t at = 0;
    for (Camera& cam : cams) {
      size_t polled = 2 + cam.conns.size();
      serve(opt, cam, &fds[at], now);
      at += polled;
    }
  }
  for (const Camera& cam : cams) {
    for (const TcpConn& c : cam.conns) ::close(c.fd);
    ::close(cam.udp);
    ::close(cam.listener);
    std::string port = opt.namePorts ? std::to_string(cam.port) : "";
    if (opt.json)
      std::printf("{\"event\":\"stopped\",%s\"lamp\":\"%s\",\"commands\":%llu}\n",
                  port.empty() ? "" : ("\"port\":" + port + ",").c_str(), lampName(cam.lamp),
                  static_cast<unsigned long long>(cam.commands));
    else
      std::printf("%s  %scamera simulator stopped; lamp %s after %llu commands\n",
                  wallClock().c_str(), port.empty() ? "" : (port + "  ").c_str(),
                  lampName(cam.lamp), static_cast<unsigned long long>(cam.commands));
  }
  std::fflush(stdout);
  return 0;
}
