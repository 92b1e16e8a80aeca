// quorvel-camera-sim: PTZ cameras' tally lamps on a loopback address. Each camera takes VISCA
// commands over UDP and TCP on its own port, with or without the 8-byte VISCA-over-IP header, and
// every command received is printed on one line (naming the port when there are several).
//
// "Accept only" (--only-tcp, --only-prefixed): a UDP datagram cannot be refused, so commands
// that do not qualify are still received and printed, marked as ignored; they neither change
// the lamp nor get an answer. A sender that tries several deliveries in turn thus shows which
// of them lit the lamp.
//
// Profiles play particular camera families. Every camera has a red and a green lamp; the
// familiar names stand for red alone (PROGRAM), green alone (PREVIEW) and neither (OFF).
// - sony: one red lamp, set only by VISCA-over-IP datagrams (header 01 00, payload length,
//   sequence number) whose sequence counts up by one per controller; a lit lamp goes dark by itself
//   15 s after the last on command, as those cameras do over IP.
// - avonic: raw VISCA with two parameters, red then green.
// - --http: the TCP port speaks HTTP as Panasonic AW cameras do (/cgi-bin/aw_cam?cmd=TLR:1).
//   libmicrohttpd parses the requests; it runs inside this program's one poll loop (its epoll
//   descriptor is polled with the sockets), and a slow answer is a suspended connection that a
//   timer of the loop resumes, so nothing ever blocks.
#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "tool_output.h"

using quorvel_sim::isLoopback;
using quorvel_sim::jsonString;
using quorvel_sim::steadyUs;
using quorvel_sim::wallClock;

namespace {

constexpr size_t kHeaderSize = 8;
constexpr size_t kMaxTcpConnections = 64;
constexpr int64_t kTcpIdleMs = 10000;
constexpr size_t kMaxMessage = 64;  // longer runs without a terminator are reported as junk

// How tally commands are answered: not at all, with ACK and completion, or with an error
// (90 6y ee FF: y the socket, 1 here; ee the code, 41 "not executable" by default).
enum class Reply { NONE, ACK, ERROR };

enum class Profile { NONE, SONY, AVONIC };
enum class HttpAuth { BASIC, DIGEST };

constexpr int64_t kSonyLampTimeoutMs = 15000;
constexpr const char* kHttpRealm = "quorvel-camera-sim";
constexpr const char* kTallyPath = "/cgi-bin/aw_cam";

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
  Profile profile = Profile::NONE;
  int64_t lampTimeoutMs = -1;  // lit lamps go dark this long after the last on command; 0 never,
                               // -1 the profile's (sony 15 s, the others never)
  bool http = false;
  bool httpCredentials = false;  // demand --http-user and --http-password
  std::string httpUser, httpPassword;
  HttpAuth httpAuth = HttpAuth::BASIC;
  int64_t httpDelayMs = 0;
  unsigned httpStatus = 0;  // every request answered with this status; 0: as the camera would
};

int64_t lampTimeout(const Options& opt) {
  if (opt.lampTimeoutMs >= 0) return opt.lampTimeoutMs;
  return opt.profile == Profile::SONY ? kSonyLampTimeoutMs : 0;
}

enum class Lamp { OFF, PREVIEW, PROGRAM };

struct Lamps {
  bool red = false;
  bool green = false;
};

Lamps lampsOf(Lamp l) {
  return {l == Lamp::PROGRAM, l == Lamp::PREVIEW};
}

// The familiar name of the lamps, or null when both are lit (no state stands for that).
const char* lampName(Lamps l) {
  if (l.red && l.green) return nullptr;
  return l.red ? "PROGRAM" : l.green ? "PREVIEW" : "OFF";
}

std::string lampText(Lamps l) {
  return lampName(l) ? lampName(l) : "red+green";
}

std::string lampJson(Lamps l) {
  return lampName(l) ? std::string("\"") + lampName(l) + "\"" : "null";
}

struct TcpConn {
  int fd = -1;
  Bytes buf;
  int64_t lastMs = 0;
};

struct HttpServer;

// One camera: a port with its own lamps, UDP socket, TCP listener and connections (or, with
// --http, the HTTP server that took the listener).
struct Camera {
  long port = 0;
  int udp = -1;
  int listener = -1;  // handed to the HTTP server with --http
  Lamps lamps;
  int64_t lampDeadlineMs = 0;  // when the lit lamps go dark by themselves; 0 never
  uint64_t commands = 0;
  std::vector<TcpConn> conns;
  std::map<uint64_t, uint32_t> nextSequence;  // sony: by sender (address, port)
  std::unique_ptr<HttpServer> http;
};

// A request whose answer waits for --http-delay: its connection is suspended until `dueMs`.
struct DelayedAnswer {
  MHD_Connection* conn = nullptr;
  int64_t dueMs = 0;
};

struct HttpServer {
  const Options* opt = nullptr;
  Camera* cam = nullptr;
  MHD_Daemon* daemon = nullptr;
  int epollFd = -1;
  std::array<uint8_t, 32> nonceKey{};  // digest nonces are made from it; lives with the daemon
  std::vector<DelayedAnswer> waiting;
};

// What one received message turned out to be.
struct Received {
  const char* transport = "udp";
  bool prefixed = false;
  Bytes bytes;         // the VISCA message, header removed
  bool tally = false;  // a tally command of the camera's profile
  char scheme = 0;     // 'A' or 'B' for a tally command of the default profile
  Lamp state = Lamp::OFF;
  Lamps wanted;            // the lamps a tally command asks for
  std::string ignored;     // why the message is not taken, found while unframing it
  bool sequenced = false;  // sony: the header's sequence number, and the one expected
  uint32_t sequence = 0, expected = 0;
};



int64_t steadyMs() {
  return steadyUs() / 1000;
}


// A JSON string of any text: quotes, backslashes, control and non-ASCII bytes escaped.

// Text from the network, fit for one terminal line.
std::string printable(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
  return out;
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
  r.wanted = lampsOf(r.state);
}

// Sony: 8x 01 7E 01 0A 00 pp FF, the one (red) lamp. Avonic: 8x 01 7E 01 0A 00 rr gg FF, red
// then green. Each parameter is 02 for on and 03 for off.
void classifyProfile(Profile profile, Received& r) {
  const Bytes& m = r.bytes;
  size_t params = profile == Profile::SONY ? 1 : 2;
  if (m.size() != 7 + params || m[0] < 0x81 || m[0] > 0x87 || m[1] != 0x01 || m[2] != 0x7E ||
      m[3] != 0x01 || m[4] != 0x0A || m[5] != 0x00 || m.back() != 0xFF)
    return;
  for (size_t i = 6; i < 6 + params; ++i)
    if (m[i] != 0x02 && m[i] != 0x03) return;
  r.wanted = {m[6] == 0x02, params == 2 && m[7] == 0x02};
  r.tally = true;
}

const char* colorOf(Lamp l) {
  return l == Lamp::PROGRAM ? "\033[1;97;41m" : l == Lamp::PREVIEW ? "\033[1;30;42m" : "\033[2m";
}

std::string twoHex(uint8_t b) {
  return bytesToHexString(&b, 1);
}

// The start of every event line: the time and, with several cameras, the port.
std::string textHead(const Options& opt, const Camera& cam) {
  std::string line = wallClock() + "  ";
  if (opt.namePorts) {
    std::string port = std::to_string(cam.port);
    line += std::string(5 - std::min<size_t>(5, port.size()), ' ') + port + "  ";
  }
  return line;
}

std::string jsonHead(const Options& opt, const Camera& cam) {
  char t[32];
  int64_t us = steadyUs();
  std::snprintf(t, sizeof t, "%lld.%03lld", static_cast<long long>(us / 1000),
                static_cast<long long>(us % 1000));
  return std::string("{\"t_ms\":") + t +
         (opt.namePorts ? ",\"port\":" + std::to_string(cam.port) : "");
}

// "red on" for the one lamp of a sony camera, "red on, green off" for the others (and for a sony
// camera that also takes HTTP, whose green lamp HTTP can light).
std::string lampsText(const Options& opt, Lamps l) {
  std::string text = std::string("red ") + (l.red ? "on" : "off");
  if (opt.profile != Profile::SONY || opt.http)
    text += std::string(", green ") + (l.green ? "on" : "off");
  return text;
}

std::string lampsJson(const Options& opt, Lamps l) {
  std::string json = std::string("\"red\":") + (l.red ? "true" : "false");
  if (opt.profile != Profile::SONY || opt.http)
    json += std::string(",\"green\":") + (l.green ? "true" : "false");
  return json;
}

// A state name seven wide, coloured when `color`; "-" for both lamps lit.
std::string stateColumn(Lamps l, bool color) {
  const char* name = lampName(l);
  std::string state = name ? name : "-";
  std::string shown = state;
  shown.resize(7, ' ');
  if (!color) return shown;
  Lamp tone = l.red ? Lamp::PROGRAM : l.green ? Lamp::PREVIEW : Lamp::OFF;
  return colorOf(tone) + (" " + state + " ") + "\033[0m" + shown.substr(state.size());
}

void printLine(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// Sets the lamps. A lamp that goes dark by itself does so `lampTimeout` after the last command
// that lit one; a command that leaves all dark stops the count.
void setLamps(const Options& opt, Camera& cam, Lamps l, bool onCommand, int64_t now) {
  cam.lamps = l;
  int64_t timeout = lampTimeout(opt);
  if (!l.red && !l.green)
    cam.lampDeadlineMs = 0;
  else if (onCommand && timeout > 0)
    cam.lampDeadlineMs = now + timeout;
}

void expireLamps(const Options& opt, Camera& cam, int64_t now) {
  if (cam.lampDeadlineMs == 0 || now < cam.lampDeadlineMs) return;
  cam.lampDeadlineMs = 0;
  cam.lamps = Lamps();
  std::string timeout = std::to_string(lampTimeout(opt));
  if (opt.json)
    printLine(jsonHead(opt, cam) + ",\"event\":\"expired\",\"lamp\":\"OFF\"," +
              lampsJson(opt, cam.lamps) + ",\"timeout_ms\":" + timeout + "}");
  else
    printLine(textHead(opt, cam) + "expired     " + stateColumn(cam.lamps, false) + "  " +
              lampsText(opt, cam.lamps) + "  (no on command for " + timeout + " ms)");
}

// The line of a message under a profile: what the command asks, what the lamps became.
std::string profileLine(const Options& opt, const Camera& cam, const Received& r,
                        const std::string& ignored, bool refused, bool acted) {
  std::string hex = bytesToHexString(r.bytes);
  std::string mismatch =
      r.sequenced && r.sequence != r.expected
          ? "sequence " + std::to_string(r.sequence) + ", expected " + std::to_string(r.expected)
          : "";
  if (opt.json) {
    std::string line = jsonHead(opt, cam) + ",\"transport\":\"" + r.transport +
                       "\",\"prefixed\":" + (r.prefixed ? "true" : "false") + ",\"profile\":\"" +
                       (opt.profile == Profile::SONY ? "sony" : "avonic") + "\"";
    if (r.sequenced) line += ",\"sequence\":" + std::to_string(r.sequence);
    if (!mismatch.empty()) line += ",\"expected\":" + std::to_string(r.expected);
    line += ",\"command\":" + (r.tally ? "{" + lampsJson(opt, r.wanted) + "}" : "null") +
            ",\"accepted\":" + (ignored.empty() && !refused ? "true" : "false");
    if (!ignored.empty()) line += ",\"ignored\":" + jsonString(ignored);
    if (refused) line += ",\"error\":\"" + twoHex(opt.errorCode) + "\"";
    return line + ",\"lamp\":" + lampJson(cam.lamps) + "," + lampsJson(opt, cam.lamps) +
           ",\"hex\":\"" + hex + "\"}";
  }
  std::string how = std::string(r.transport) + (r.prefixed ? "+prefix" : "");
  how.resize(11, ' ');
  std::string line = textHead(opt, cam) + how + " ";
  if (r.tally)
    line +=
        stateColumn(r.wanted, opt.color && acted) + "  " + lampsText(opt, r.wanted) + "  " + hex;
  else
    line += "unknown  " + hex;
  if (!mismatch.empty()) line += "  (" + mismatch + ")";
  if (!ignored.empty()) line += "  (ignored: " + ignored + ")";
  if (refused) line += "  (answered error " + twoHex(opt.errorCode) + ")";
  return line;
}

// Prints the message, updates the lamp and says whether the camera answers it: a tally command
// that qualifies. In error mode the camera answers with the error and leaves its lamp as it was.
bool handle(const Options& opt, Camera& cam, Received& r, int64_t now) {
  if (opt.profile == Profile::NONE)
    classify(r);
  else
    classifyProfile(opt.profile, r);
  ++cam.commands;
  std::string ignored = r.ignored;
  bool tcp = std::strcmp(r.transport, "tcp") == 0;
  if (ignored.empty() && opt.profile == Profile::SONY && tcp) ignored = "sony takes UDP only";
  if (ignored.empty() && opt.profile == Profile::AVONIC && r.prefixed)
    ignored = "avonic takes raw VISCA, no header";
  if (ignored.empty() && opt.onlyTcp && !tcp) ignored = "only TCP accepted";
  if (opt.onlyPrefixed && !r.prefixed)
    ignored = ignored.empty()                  ? "only prefixed accepted"
              : ignored == "only TCP accepted" ? "only prefixed TCP accepted"
                                               : ignored;
  bool answer = ignored.empty() && r.tally;
  bool refused = answer && opt.reply == Reply::ERROR;
  bool acted = answer && !refused;
  bool lights = r.wanted.red || r.wanted.green;
  if (opt.profile == Profile::SONY) {  // its command has no green (only HTTP can light that)
    lights = r.wanted.red;
    r.wanted.green = cam.lamps.green;
  }
  if (acted) setLamps(opt, cam, r.wanted, lights, now);

  std::string line;
  if (opt.profile != Profile::NONE) {
    line = profileLine(opt, cam, r, ignored, refused, acted);
  } else if (opt.json) {
    line =
        jsonHead(opt, cam) + ",\"transport\":\"" + r.transport +
        "\",\"prefixed\":" + (r.prefixed ? "true" : "false") +
        ",\"scheme\":" + (r.tally ? std::string("\"") + r.scheme + "\"" : "null") +
        ",\"state\":" + (r.tally ? std::string("\"") + lampName(lampsOf(r.state)) + "\"" : "null") +
        ",\"accepted\":" + (ignored.empty() && !refused ? "true" : "false") +
        (refused ? ",\"error\":\"" + twoHex(opt.errorCode) + "\"" : "") +
        ",\"lamp\":" + lampJson(cam.lamps) + ",\"hex\":\"" + bytesToHexString(r.bytes) + "\"}";
  } else {
    std::string how = std::string(r.transport) + (r.prefixed ? "+prefix" : "");
    how.resize(11, ' ');
    line = textHead(opt, cam) + how + " ";
    if (!r.tally) {
      line += "unknown  " + bytesToHexString(r.bytes);
    } else {
      std::string state = lampName(lampsOf(r.state));
      std::string shown = state;
      shown.resize(7, ' ');
      if (opt.color && acted)
        shown = colorOf(r.state) + (" " + state + " ") + "\033[0m" + shown.substr(state.size());
      line += shown + "  scheme " + r.scheme + "  " + bytesToHexString(r.bytes);
    }
    if (!ignored.empty()) line += "  (ignored: " + ignored + ")";
    if (refused) line += "  (answered error " + twoHex(opt.errorCode) + ")";
  }
  printLine(line);
  return answer;
}

// ACK then completion, or the error, each behind a reply header (payload type 01 11, then the
// length of the message and the command's sequence number) when the command had a header.
std::vector<Bytes> answers(const Options& opt, bool prefixed, uint32_t sequence) {
  std::vector<Bytes> out = {{0x90, 0x41, 0xFF}, {0x90, 0x51, 0xFF}};
  if (opt.reply == Reply::ERROR) out = {{0x90, 0x61, opt.errorCode, 0xFF}};
  if (prefixed)
    for (Bytes& m : out) {
      Bytes head = {0x01, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
      putBe16(&head[2], static_cast<uint16_t>(m.size()));
      putBe32(&head[4], sequence);
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

void sendAnswers(const Options& opt, const Camera& cam, bool prefixed, uint32_t sequence,
                 const sockaddr_in& to) {
  if (opt.reply == Reply::NONE || !isLoopback(to)) return;
  for (const Bytes& a : answers(opt, prefixed, sequence))
    ::sendto(cam.udp, a.data(), a.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// Sony takes one command per datagram, behind the 8-byte header: payload type 01 00 (a VISCA
// command), the command's length, and a sequence number that counts up from 0 with every
// datagram to the camera, whichever port of the controller it comes from (a controller may send
// each command from a socket of its own). A jump or a repeat is reported and the command still
// taken; a datagram without the header, or whose header does not fit, is ignored.
void onSonyDatagram(const Options& opt, Camera& cam, const uint8_t* d, size_t n,
                    const sockaddr_in& from, int64_t now) {
  Received r;
  r.prefixed = n >= kHeaderSize && (d[0] & 0x80) == 0;
  size_t start = r.prefixed ? kHeaderSize : 0;
  r.bytes.assign(d + start, d + n);
  if (!r.prefixed) {
    r.ignored = n > 0 && (d[0] & 0x80) != 0 ? "no VISCA-over-IP header" : "shorter than a header";
  } else {
    r.sequenced = true;
    r.sequence = getBe32(d + 4);
    uint64_t sender = ntohl(from.sin_addr.s_addr);
    if (cam.nextSequence.size() >= 1024 && !cam.nextSequence.count(sender))
      cam.nextSequence.clear();
    auto next = cam.nextSequence.emplace(sender, 0).first;
    r.expected = next->second;
    next->second = r.sequence + 1;  // wraps from 2^32 - 1 to 0
    size_t declared = getBe16(d + 2);
    if (getBe16(d) != 0x0100)
      r.ignored = "payload type " + bytesToHexString(d, 2) + ", not a VISCA command";
    else if (declared != n - kHeaderSize)
      r.ignored = "header gives length " + std::to_string(declared) + ", " +
                  std::to_string(n - kHeaderSize) + " bytes follow";
  }
  if (handle(opt, cam, r, now)) sendAnswers(opt, cam, true, r.sequence, from);
}

void onDatagram(const Options& opt, Camera& cam, const uint8_t* d, size_t n,
                const sockaddr_in& from, int64_t now) {
  if (opt.profile == Profile::SONY) {
    onSonyDatagram(opt, cam, d, n, from, now);
    return;
  }
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
    if (handle(opt, cam, r, now))
      sendAnswers(opt, cam, prefixed, prefixed ? getBe32(d + 4) : 0, from);
  }
}

// Takes every complete message from the front of a TCP buffer. At the end of the stream
// (`closing`) whatever is left is reported too.
void drainTcp(const Options& opt, Camera& cam, TcpConn& c, bool closing, int64_t now) {
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
    uint32_t sequence = prefixed && b.size() >= kHeaderSize ? getBe32(&b[4]) : 0;
    b.erase(b.begin(), b.begin() + static_cast<long>(end));
    if (handle(opt, cam, r, now) && opt.reply != Reply::NONE) {
      for (const Bytes& a : answers(opt, prefixed, sequence))
        ::send(c.fd, a.data(), a.size(), MSG_NOSIGNAL);
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

// ---- HTTP, as Panasonic AW cameras take their tally commands ----

// Marks in a connection's request slot: the headers are read; the answer has waited its delay.
char gRequestSeen, gRequestWaited;

MHD_Result addArgument(void* cls, MHD_ValueKind, const char* key, const char* value) {
  std::string& query = *static_cast<std::string*>(cls);
  if (!query.empty()) query += '&';
  query += key;
  if (value) query += std::string("=") + value;
  return MHD_YES;
}

// TLR:1 and TLR:0 light and put out the red tally lamp, TLG:1 and TLG:0 the green one; the
// camera answers 200 with the command as the body.
bool panasonicTally(const std::string& cmd, Lamps& lamps) {
  if (cmd.size() != 5 || cmd.compare(0, 2, "TL") != 0 || (cmd[2] != 'R' && cmd[2] != 'G') ||
      cmd[3] != ':' || (cmd[4] != '0' && cmd[4] != '1'))
    return false;
  (cmd[2] == 'R' ? lamps.red : lamps.green) = cmd[4] == '1';
  return true;
}

// False when credentials are demanded and the request lacks them; `stale` when a digest answer
// used a nonce the server no longer takes (the client is then told to ask again).
bool authorized(const Options& opt, MHD_Connection* conn, bool& stale) {
  stale = false;
  if (!opt.httpCredentials) return true;
  if (opt.httpAuth == HttpAuth::DIGEST) {
    int r = MHD_digest_auth_check2(conn, kHttpRealm, opt.httpUser.c_str(), opt.httpPassword.c_str(),
                                   300, MHD_DIGEST_ALG_MD5);
    stale = r == MHD_INVALID_NONCE;
    return r == MHD_YES;
  }
  char* password = nullptr;
  char* user = MHD_basic_auth_get_username_password(conn, &password);
  bool ok = user && password && opt.httpUser == user && opt.httpPassword == password;
  MHD_free(user);
  MHD_free(password);
  return ok;
}

// Answers one request once its delay is over: decides the status, sets the lamps, prints the line.
MHD_Result answerHttp(HttpServer& server, MHD_Connection* conn, const char* url,
                      const char* method) {
  const Options& opt = *server.opt;
  Camera& cam = *server.cam;
  std::string query;
  MHD_get_connection_values(conn, MHD_GET_ARGUMENT_KIND, addArgument, &query);
  const char* arg = MHD_lookup_connection_value(conn, MHD_GET_ARGUMENT_KIND, "cmd");
  std::string cmd = arg ? arg : "";
  Lamps lamps = cam.lamps;
  bool stale = false, tally = false;
  unsigned status = 200;
  std::string body = cmd, why;
  if (opt.httpStatus != 0) {
    status = opt.httpStatus;
    body = "status " + std::to_string(status);
    why = "every request answered " + std::to_string(status);
  } else if (!authorized(opt, conn, stale)) {
    status = MHD_HTTP_UNAUTHORIZED;
    body = "unauthorized";
    why = "no or wrong credentials";
  } else if (std::strcmp(method, "GET") != 0) {
    status = MHD_HTTP_METHOD_NOT_ALLOWED;
    body = why = "method not allowed";
  } else if (kTallyPath != std::string(url)) {
    status = MHD_HTTP_NOT_FOUND;
    body = why = "unknown path";
  } else if (!panasonicTally(cmd, lamps)) {
    status = MHD_HTTP_BAD_REQUEST;
    body = why = "unknown command";
  } else {
    tally = true;
    setLamps(opt, cam, lamps, cmd[4] == '1', steadyMs());
  }
  ++cam.commands;

  std::string lamp = tally ? std::string(cmd[2] == 'R' ? "red" : "green") : "";
  bool on = tally && cmd[4] == '1';
  std::string target = std::string(url) + (query.empty() ? "" : "?" + query);
  if (opt.json) {
    std::string line =
        jsonHead(opt, cam) + ",\"transport\":\"http\",\"method\":" + jsonString(method) +
        ",\"path\":" + jsonString(url) + ",\"query\":" + jsonString(query) +
        ",\"command\":" + (tally ? "{\"" + lamp + "\":" + (on ? "true" : "false") + "}" : "null") +
        ",\"status\":" + std::to_string(status) + ",\"accepted\":" + (tally ? "true" : "false");
    if (!tally) line += ",\"ignored\":" + jsonString(why);
    printLine(line + ",\"lamp\":" + lampJson(cam.lamps) + "," + lampsJson(opt, cam.lamps) + "}");
  } else {
    std::string what = tally ? lamp + (on ? " on" : " off") : why + ", lamps unchanged";
    printLine(textHead(opt, cam) + "http        " + stateColumn(cam.lamps, opt.color && tally) +
              "  " + lampsText(opt, cam.lamps) + "  " + printable(method) + " " +
              printable(target) + "  " + std::to_string(status) + "  (" + what + ")");
  }

  MHD_Response* resp = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                       MHD_RESPMEM_MUST_COPY);
  if (resp == nullptr) return MHD_NO;
  MHD_add_response_header(resp, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain");
  MHD_Result queued;
  if (status != MHD_HTTP_UNAUTHORIZED || opt.httpStatus != 0)
    queued = MHD_queue_response(conn, status, resp);
  else if (opt.httpAuth == HttpAuth::DIGEST)
    queued = MHD_queue_auth_fail_response2(conn, kHttpRealm, "quorvel", resp,
                                           stale ? MHD_YES : MHD_NO, MHD_DIGEST_ALG_MD5);
  else
    queued = MHD_queue_basic_auth_fail_response(conn, kHttpRealm, resp);
  MHD_destroy_response(resp);
  return queued;
}

// Called by the daemon once the headers are in, then for each piece of a body, then again until
// an answer is queued. With --http-delay the connection is suspended there and resumed by the
// loop's timer (serveHttp), so the loop goes on serving everything else meanwhile.
MHD_Result onHttpRequest(void* cls, MHD_Connection* conn, const char* url, const char* method,
                         const char*, const char*, size_t* uploadSize, void** request) {
  HttpServer& server = *static_cast<HttpServer*>(cls);
  if (*request == nullptr) {
    *request = &gRequestSeen;
    return MHD_YES;
  }
  if (*uploadSize != 0) {  // no command has a body: read it and drop it
    *uploadSize = 0;
    return MHD_YES;
  }
  if (server.opt->httpDelayMs > 0 && *request != &gRequestWaited) {
    *request = &gRequestWaited;
    MHD_suspend_connection(conn);
    server.waiting.push_back({conn, steadyMs() + server.opt->httpDelayMs});
    return MHD_YES;
  }
  return answerHttp(server, conn, url, method);
}

// Hands the camera's TCP listener to libmicrohttpd, in external polling through its epoll fd.
bool startHttp(const Options& opt, Camera& cam, std::string& err) {
  cam.http = std::make_unique<HttpServer>();
  HttpServer& server = *cam.http;
  server.opt = &opt;
  server.cam = &cam;
  if (getrandom(server.nonceKey.data(), server.nonceKey.size(), 0) !=
      static_cast<ssize_t>(server.nonceKey.size())) {
    err = "getrandom: " + std::string(std::strerror(errno));
    return false;
  }
  server.daemon =
      MHD_start_daemon(MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG, 0, nullptr,
                       nullptr, onHttpRequest, &server, MHD_OPTION_LISTEN_SOCKET, cam.listener,
                       MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(kMaxTcpConnections),
                       MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(kTcpIdleMs / 1000),
                       MHD_OPTION_DIGEST_AUTH_RANDOM, server.nonceKey.size(),
                       server.nonceKey.data(), MHD_OPTION_NONCE_NC_SIZE, 64u, MHD_OPTION_END);
  if (server.daemon == nullptr) {
    err = "the HTTP server (libmicrohttpd) did not start";
    return false;
  }
  cam.listener = -1;  // the daemon's now: it closes it when it stops
  const MHD_DaemonInfo* info = MHD_get_daemon_info(server.daemon, MHD_DAEMON_INFO_EPOLL_FD);
  server.epollFd = info ? info->epoll_fd : -1;
  if (server.epollFd < 0) {
    err = "the HTTP server has no epoll descriptor";
    return false;
  }
  return true;
}

void serveHttp(HttpServer& server, int64_t now) {
  for (size_t i = 0; i < server.waiting.size();) {
    if (server.waiting[i].dueMs <= now) {
      MHD_resume_connection(server.waiting[i].conn);
      server.waiting.erase(server.waiting.begin() + static_cast<long>(i));
    } else {
      ++i;
    }
  }
  MHD_run(server.daemon);  // after a resume, and whenever its descriptor or timeout is due
}

// The daemon must not stop with suspended connections: they are resumed (and left unanswered).
void stopHttp(HttpServer& server) {
  for (const DelayedAnswer& d : server.waiting) MHD_resume_connection(d.conn);
  server.waiting.clear();
  MHD_stop_daemon(server.daemon);
  server.daemon = nullptr;
}

// How long the loop may sleep for this camera, at most `limit`: until its lamps expire, a
// delayed answer is due, or the HTTP server wants to run.
int64_t sleepFor(const Camera& cam, int64_t now, int64_t limit) {
  int64_t wait = limit;
  if (cam.lampDeadlineMs != 0) wait = std::min(wait, cam.lampDeadlineMs - now);
  if (cam.http) {
    for (const DelayedAnswer& d : cam.http->waiting) wait = std::min(wait, d.dueMs - now);
    MHD_UNSIGNED_LONG_LONG ms = 0;
    if (MHD_get_timeout(cam.http->daemon, &ms) == MHD_YES)
      wait = std::min(wait, static_cast<int64_t>(std::min<MHD_UNSIGNED_LONG_LONG>(ms, 1000)));
  }
  return std::max<int64_t>(wait, 0);
}

// One round for one camera after a poll: `fds` are its UDP socket, then its listener and its
// connections in that order as polled, or with --http the HTTP server's epoll descriptor.
void serve(const Options& opt, Camera& cam, const pollfd* fds, int64_t now) {
  expireLamps(opt, cam, now);  // a deadline passed before anything now received was sent
  if (fds[0].revents & POLLIN) {
    uint8_t buf[2048];
    for (int i = 0; i < 64; ++i) {
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n = ::recvfrom(cam.udp, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) break;
      onDatagram(opt, cam, buf, static_cast<size_t>(n), from, now);
    }
  }
  if (cam.http) {
    serveHttp(*cam.http, now);
    return;
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
    drainTcp(opt, cam, c, closing, now);
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

// A whole decimal number within [lo, hi].
bool parseNumber(const char* text, long lo, long hi, long& out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || v < lo || v > hi) return false;
  out = v;
  return true;
}

// The options that take a value, after the first pass of main. False with the reason.
bool parseValue(const std::string& a, const char* value, Options& opt, std::string& err) {
  long n = 0;
  if (a == "--profile") {
    if (std::strcmp(value, "sony") == 0)
      opt.profile = Profile::SONY;
    else if (std::strcmp(value, "avonic") == 0)
      opt.profile = Profile::AVONIC;
    else
      err = "bad profile '" + std::string(value) + "' (sony or avonic)";
  } else if (a == "--lamp-timeout") {
    if (parseNumber(value, 0, 86400000, n))
      opt.lampTimeoutMs = n;
    else
      err = "bad lamp time-out '" + std::string(value) + "' (milliseconds)";
  } else if (a == "--http-user") {
    opt.httpUser = value;
    opt.httpCredentials = true;
    if (opt.httpUser.find(':') != std::string::npos) err = "an HTTP user name has no ':'";
  } else if (a == "--http-password") {
    opt.httpPassword = value;
  } else if (a == "--http-auth") {
    if (std::strcmp(value, "basic") == 0)
      opt.httpAuth = HttpAuth::BASIC;
    else if (std::strcmp(value, "digest") == 0)
      opt.httpAuth = HttpAuth::DIGEST;
    else
      err = "bad HTTP authentication '" + std::string(value) + "' (basic or digest)";
  } else if (a == "--http-delay") {
    if (parseNumber(value, 0, 600000, n))
      opt.httpDelayMs = n;
    else
      err = "bad HTTP delay '" + std::string(value) + "' (milliseconds)";
  } else if (a == "--http-status") {
    if (parseNumber(value, 200, 599, n))
      opt.httpStatus = static_cast<unsigned>(n);
    else
      err = "bad HTTP status '" + std::string(value) + "' (200-599)";
  } else {
    return false;
  }
  return true;
}

// Combinations that would give a camera no way to light.
bool checkOptions(const Options& opt, bool httpOptions, bool password, std::string& err) {
  if (httpOptions && !opt.http)
    err = "the --http-* options need --http";
  else if (password && !opt.httpCredentials)
    err = "--http-password needs --http-user";
  else if (opt.profile == Profile::SONY && opt.onlyTcp && !opt.http)
    err = "--profile sony takes UDP only, so --only-tcp would never light it";
  else if (opt.profile == Profile::AVONIC && opt.onlyPrefixed)
    err = "--profile avonic takes raw VISCA, so --only-prefixed would never light it";
  return err.empty();
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
      "  --profile sony    one red lamp, VISCA over IP on UDP only: header 01 00, length,\n"
      "                    sequence number (checked per controller, from 0); 8x 01 7E 01 0A 00 02 FF\n"
      "                    on, ... 03 FF off; a lit lamp goes dark 15 s after the last on command\n"
      "  --profile avonic  red and green lamps, raw VISCA 8x 01 7E 01 0A 00 RR GG FF (02 on,\n"
      "                    03 off), over UDP and TCP\n"
      "  --lamp-timeout MS  lit lamps go dark MS ms after the last on command (0 never; default\n"
      "                    15000 with --profile sony, never otherwise)\n"
      "  --http            the TCP port speaks HTTP as Panasonic AW cameras do:\n"
      "                    GET /cgi-bin/aw_cam?cmd=TLR:1&res=1 red on (TLR:0 off, TLG:1/TLG:0\n"
      "                    green), answered 200 with the command; 404 other paths, 400 other\n"
      "                    commands, 405 other methods. UDP keeps VISCA (--only-tcp: HTTP only)\n"
      "  --http-user U, --http-password P  demand these credentials (401 otherwise)\n"
      "  --http-auth basic|digest  how they are asked for (default basic; digest: MD5)\n"
      "  --http-delay MS   answer every request MS ms late (the lamps change then)\n"
      "  --http-status N   answer every request with status N (200-599), lamps unchanged\n"
      "Commands that do not qualify under --only-* or the profile are printed as ignored.\n"
      "Answers go behind the 8-byte header (01 11 ...) when the command had one. With several\n"
      "ports every line names the port (text: after the time; JSON: a \"port\" member); the\n"
      "profile and HTTP options apply to every port.\n");
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  int color = -1;
  bool httpOptions = false, password = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    std::string err;
    if (a == "--help" || a == "-h") {
      usage();
      return 0;
    } else if (a == "--address" && i + 1 < argc) {
      opt.address = argv[++i];
    } else if (a == "--port" && i + 1 < argc) {
      long port = 0;
      if (!parseNumber(argv[++i], 0, 65535, port)) {
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
    } else if (a == "--http") {
      opt.http = true;
    } else if (i + 1 < argc && parseValue(a, argv[i + 1], opt, err)) {
      ++i;
      httpOptions = httpOptions || a.rfind("--http-", 0) == 0;
      password = password || a == "--http-password";
      if (!err.empty()) {
        std::fprintf(stderr, "quorvel-camera-sim: %s\n", err.c_str());
        return 2;
      }
    } else {
      std::fprintf(stderr, "quorvel-camera-sim: bad option '%s' (try --help)\n", a.c_str());
      return 2;
    }
  }
  std::string err;
  if (!checkOptions(opt, httpOptions, password, err)) {
    std::fprintf(stderr, "quorvel-camera-sim: %s\n", err.c_str());
    return 2;
  }
  opt.color = !opt.json && (color == 1 || (color == -1 && isatty(STDOUT_FILENO)));
  if (opt.ports.empty()) opt.ports.push_back(52381);
  opt.namePorts = opt.ports.size() > 1;

  // Cameras stay where they are from here on: their HTTP servers point back at them.
  std::vector<Camera> cams(opt.ports.size());
  for (size_t i = 0; i < cams.size(); ++i) {
    cams[i].port = opt.ports[i];
    if (!openSockets(opt.address, cams[i], err) || (opt.http && !startHttp(opt, cams[i], err))) {
      std::fprintf(stderr, "quorvel-camera-sim: port %ld: %s\n", opt.ports[i], err.c_str());
      return 1;
    }
  }
  quorvel_sim::catchStopSignals();

  const char* profile = opt.profile == Profile::SONY     ? "sony"
                        : opt.profile == Profile::AVONIC ? "avonic"
                                                         : nullptr;
  int64_t timeout = lampTimeout(opt);
  std::string modes =
      std::string(profile ? std::string(" profile ") + profile : "") +
      (opt.onlyTcp ? " only-tcp" : "") + (opt.onlyPrefixed ? " only-prefixed" : "") +
      (opt.reply == Reply::ACK ? " reply" : "") +
      (opt.reply == Reply::ERROR ? " reply=error:" + twoHex(opt.errorCode) : "") +
      (timeout > 0 ? " lamp-timeout " + std::to_string(timeout) + " ms" : "") +
      (opt.httpCredentials ? opt.httpAuth == HttpAuth::DIGEST ? " digest" : " basic" : "") +
      (opt.httpDelayMs > 0 ? " delay " + std::to_string(opt.httpDelayMs) + " ms" : "") +
      (opt.httpStatus != 0 ? " status " + std::to_string(opt.httpStatus) : "");
  std::string jsonModes =
      std::string(profile ? std::string(",\"profile\":\"") + profile + "\"" : "") +
      (timeout > 0 ? ",\"lamp_timeout_ms\":" + std::to_string(timeout) : "") +
      (opt.http ? ",\"http\":true" : "");
  for (const Camera& cam : cams) {
    if (opt.json)
      std::printf("{\"event\":\"listening\",\"address\":\"%s\",\"port\":%ld%s}\n",
                  opt.address.c_str(), cam.port, jsonModes.c_str());
    else
      std::printf("%s  camera simulator on %s:%ld (%s)%s, lamp OFF\n", wallClock().c_str(),
                  opt.address.c_str(), cam.port, opt.http ? "udp+http" : "udp+tcp", modes.c_str());
  }
  std::fflush(stdout);

  while (!quorvel_sim::stopRequested()) {
    std::vector<pollfd> fds;
    int64_t now = steadyMs(), wait = 200;
    for (const Camera& cam : cams) {
      fds.push_back({cam.udp, POLLIN, 0});
      if (cam.http) {
        fds.push_back({cam.http->epollFd, POLLIN, 0});
      } else {
        fds.push_back({cam.listener, POLLIN, 0});
        for (const TcpConn& c : cam.conns) fds.push_back({c.fd, POLLIN, 0});
      }
      wait = sleepFor(cam, now, wait);
    }
    if (::poll(fds.data(), fds.size(), static_cast<int>(wait)) < 0) continue;
    now = steadyMs();
    size_t at = 0;
    for (Camera& cam : cams) {
      size_t polled = cam.http ? 2 : 2 + cam.conns.size();
      serve(opt, cam, &fds[at], now);
      at += polled;
    }
  }
  for (Camera& cam : cams) {
    if (cam.http) stopHttp(*cam.http);
    for (const TcpConn& c : cam.conns) ::close(c.fd);
    ::close(cam.udp);
    if (cam.listener >= 0) ::close(cam.listener);
    std::string port = opt.namePorts ? std::to_string(cam.port) : "";
    if (opt.json)
      std::printf("{\"event\":\"stopped\",%s\"lamp\":%s,\"commands\":%llu}\n",
                  port.empty() ? "" : ("\"port\":" + port + ",").c_str(),
                  lampJson(cam.lamps).c_str(), static_cast<unsigned long long>(cam.commands));
    else
      std::printf("%s  %scamera simulator stopped; lamp %s after %llu commands\n",
                  wallClock().c_str(), port.empty() ? "" : (port + "  ").c_str(),
                  lampText(cam.lamps).c_str(), static_cast<unsigned long long>(cam.commands));
  }
  std::fflush(stdout);
  return 0;
}
