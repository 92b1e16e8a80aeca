#include "test_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace testing_support {

sockaddr_in loopbackAddr(const std::string& ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) throw std::runtime_error("bad ip " + ip);
  return a;
}

int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

static bool readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) > 0;
}

static uint16_t bindTo(int fd, const std::string& ip, uint16_t port) {
  sockaddr_in a = loopbackAddr(ip, port);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0)
    throw std::runtime_error("bind " + ip + ":" + std::to_string(port) + ": " + strerror(errno));
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

UdpPeer::UdpPeer(const std::string& ip, uint16_t p) : fd(socket(AF_INET, SOCK_DGRAM, 0)) {
  port = bindTo(fd, ip, p);
}
UdpPeer::~UdpPeer() { close(fd); }

bool UdpPeer::receive(Bytes& out, int timeout_ms, sockaddr_in* from) {
  if (!readable(fd, timeout_ms)) return false;
  uint8_t buf[65536];
  sockaddr_in src{};
  socklen_t len = sizeof src;
  ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&src), &len);
  if (n < 0) return false;
  out.assign(buf, buf + n);
  if (from) *from = src;
  return true;
}

void UdpPeer::sendTo(const Bytes& data, const sockaddr_in& to) {
  sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

TcpListener::TcpListener(const std::string& ip) : fd(socket(AF_INET, SOCK_STREAM, 0)) {
  port = bindTo(fd, ip, 0);
  listen(fd, 16);
}
TcpListener::~TcpListener() { close(fd); }

TcpCamera::TcpCamera() { fcntl(listener.fd, F_SETFL, O_NONBLOCK); }
TcpCamera::~TcpCamera() { close(); }

void TcpCamera::close() {
  for (int c : conns) ::close(c);
  conns.clear();
}

void TcpCamera::pump() {
  for (int c; (c = accept4(listener.fd, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) conns.push_back(c);
  uint8_t buf[4096];
  for (int c : conns)
    for (ssize_t n; (n = recv(c, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
      got.insert(got.end(), buf, buf + n);
}

HangingListener::HangingListener(const std::string& ip)
    : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  port = bindTo(fd, ip, 0);
  sockaddr_in at = loopbackAddr(ip, port);
  // A backlog of 0 holds one connection: the filler's. Further SYNs go unanswered.
  if (listen(fd, 0) != 0) throw std::runtime_error("listen");
  filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(filler, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0)
    throw std::runtime_error("connect to the listener");
}
HangingListener::~HangingListener() {
  close(filler);
  close(fd);
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/quorvel-test-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
  path = tmpl;
}
TempDir::~TempDir() { std::filesystem::remove_all(path); }

std::string TempDir::write(const std::string& name, const std::string& content) const {
  std::string p = path + "/" + name;
  std::ofstream(p, std::ios::binary) << content;
  return p;
}

Child::~Child() {
  if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  if (outFd >= 0) close(outFd);
  if (errFd >= 0) close(errFd);
}

void startChild(Child& c, const std::vector<std::string>& argv,
                const std::vector<std::string>& env) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  c.pid = fork();
  if (c.pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (const std::string& e : env) {
      size_t eq = e.find('=');
      if (eq == std::string::npos) unsetenv(e.c_str());
      else setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  c.outFd = out[0];
  c.errFd = err[0];
}

void pumpChild(Child& c, int timeout_ms) {
  pollfd p[2] = {{c.outFd, POLLIN, 0}, {c.errFd, POLLIN, 0}};
  if (poll(p, 2, timeout_ms) <= 0) return;
  char buf[4096];
  for (int i = 0; i < 2; ++i) {
    ssize_t n = (p[i].revents & (POLLIN | POLLHUP)) ? read(p[i].fd, buf, sizeof buf) : 0;
    if (n > 0) (i == 0 ? c.out : c.err).append(buf, n);
  }
}

bool waitForOutput(Child& c, const std::string& needle, int timeout_ms,
                   const std::function<void()>& each) {
  for (int64_t end = nowMs() + timeout_ms;; each ? each() : pumpChild(c, 10)) {
    pumpChild(c, 0);
    if (c.out.find(needle) != std::string::npos) return true;
    if (nowMs() > end) return false;
  }
}

int waitChild(Child& c, int timeout_ms, const std::function<void()>& each) {
  for (int64_t end = nowMs() + timeout_ms; nowMs() < end; each ? each() : pumpChild(c, 5)) {
    int status = 0;
    if (waitpid(c.pid, &status, WNOHANG) != c.pid) continue;
    c.pid = -1;
    for (int i = 0; i < 50; ++i) pumpChild(c, 1);  // what the child left in the pipes
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return -1;
}

Bytes hexBytes(const std::string& hex) {
  Bytes b;
  if (!hexPairsToBytes(hex, b)) throw std::runtime_error("not hex pairs: " + hex);
  return b;
}

std::string hugeHex() {
  std::string hex = "7e 01 0a 01";
  for (int i = 0; i < 70000; ++i) hex += " 5a";
  return hex;
}

int countOf(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

::testing::AssertionResult holds(const std::string& text, const std::string& needle) {
  const bool in = text.find(needle) != std::string::npos;
  return (in ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
         << "'" << needle << (in ? "' in:\n" : "' not in:\n") << text;
}

Bytes atemPacket(uint8_t flags, uint16_t session, uint16_t id, const Bytes& payload) {
  Bytes b(12, 0);
  putBe16(&b[0], static_cast<uint16_t>(flags << 8 | (12 + payload.size())));
  putBe16(&b[2], session);
  putBe16(&b[10], id);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

Bytes atemSynAnswer(uint16_t session, uint8_t code) {
  return atemPacket(0x10, session, 0, {code, 0, 0, 0x12, 0, 0, 0, 0});
}

Bytes atemBlock(const char* name, const Bytes& data) {
  Bytes b;
  appendBe16(b, static_cast<uint16_t>(8 + data.size()));
  b.insert(b.end(), {0, 0});
  b.insert(b.end(), name, name + 4);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

Bytes busBlock(const char* name, int me, uint16_t input) {
  Bytes data = {static_cast<uint8_t>(me), 0};
  appendBe16(data, input);
  return atemBlock(name, data);
}

Bytes tallyBlock(const std::vector<std::pair<uint16_t, uint8_t>>& flagsBySource) {
  Bytes data;
  appendBe16(data, static_cast<uint16_t>(flagsBySource.size()));
  for (const auto& [source, flags] : flagsBySource) {
    appendBe16(data, source);
    data.push_back(flags);
  }
  data.push_back(0);  // padded to four bytes, as a switcher sends it
  return atemBlock("TlSr", data);
}

Config configOf(const std::string& json) {
  Config c;
  std::string error;
  if (!configFromJson(parseJson(json), "test.json", c, error)) throw std::runtime_error(error);
  return c;
}

CameraConfig cameraSpec(const std::string& members) {
  return configOf(R"({"atem_ip": "127.0.0.1", "visca_host": "127.0.0.1")" + members + "}")
      .cameras.at(0);
}

std::vector<Bytes> readDump(const std::string& file) {
  std::vector<Bytes> payloads;
  std::string error;
  if (!quorvel_sim::simReadDump(std::string(QUORVEL_FIXTURES) + "/" + file, payloads, &error))
    throw std::runtime_error(error);
  return payloads;
}

CameraSim::CameraSim(std::vector<std::string> args, const std::string& ip) {
  const long ports = 1 + std::count(args.begin(), args.end(), "--port");
  args.insert(args.begin(), {QUORVEL_BINARY_DIR "/quorvel-camera-sim", "--json", "--address", ip,
                             "--port", "0"});
  startChild(child, args, {});
  for (int64_t end = nowMs() + 5000;
       std::count(child.out.begin(), child.out.end(), '\n') < ports && nowMs() < end;)
    pumpChild(child, 50);
  for (size_t at = 0; (at = child.out.find("\"port\":", at)) != std::string::npos; at += 7)
    addrs.push_back(loopbackAddr(ip, static_cast<uint16_t>(std::stoi(child.out.substr(at + 7)))));
  if (!addrs.empty()) port = ntohs(addrs[0].sin_port);
}

std::string CameraSim::lamp() {
  pumpChild(child, 0);
  const size_t at = child.out.rfind("\"lamp\":");
  if (at == std::string::npos) return "";
  return child.out.substr(at + 7, child.out.find_first_of(",}", at) - at - 7);
}

int countOpenFds(pid_t pid) {
  DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (!d) return -1;
  int n = 0;
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

BridgeRig::BridgeRig(const std::string& switcherIp, bool answer)
    : ip(switcherIp), sinks(1), camera((sinks[0] = std::make_unique<CameraSink>())->sock) {
  sw.log = [this](const std::string& line) {
    if (simLog.size() < 200) simLog.push_back(line);
  };
  std::string error;
  if (answer && !quorvel_sim::simOpen(sw, ip, quorvel_sim::kSimPort, &error))
    throw std::runtime_error(error);
}
BridgeRig::~BridgeRig() { quorvel_sim::simClose(sw); }

uint16_t BridgeRig::addCamera() {
  sinks.push_back(std::make_unique<CameraSink>());
  return sinks.back()->sock.port;
}

void BridgeRig::writeConfig(const std::string& extra) {
  cfgPath = dir.write("q.json", "{\"atem_ip\": \"" + ip + "\", \"visca_host\": \"127.0.0.1\", " +
                                    "\"visca_port\": " + std::to_string(camera.port) + extra + "}");
}

void BridgeRig::start(const std::string& extra, std::vector<std::string> argv,
                      std::vector<std::string> env) {
  writeConfig(extra);
  if (argv.empty()) argv.push_back(QUORVEL_BIN);
  env.push_back("QUORVEL_CFG=" + cfgPath);
  startChild(q, argv, env);
}

void BridgeRig::pump(int ms) {
  int64_t end = nowMs() + ms;
  do {
    if (sw.fd >= 0) quorvel_sim::simPoll(sw, 1);
    for (auto& c : sinks)
      for (Bytes got; c->sock.receive(got, sw.fd >= 0 ? 0 : 1); ++c->count) c->lamps.push_back(got);
    if (readOutput) pumpChild(q, 0);
  } while (nowMs() < end);
}

Bytes BridgeRig::lamp(int timeout_ms, size_t cam) {
  std::deque<Bytes>& queue = sinks.at(cam)->lamps;
  for (int64_t end = nowMs() + timeout_ms; queue.empty() && nowMs() < end;) pump(1);
  if (queue.empty()) return {};
  Bytes b = queue.front();
  queue.pop_front();
  return b;
}

static bool waitIn(BridgeRig& r, const std::string& text, const std::string& needle, int ms) {
  for (int64_t end = nowMs() + ms; text.find(needle) == std::string::npos; r.pump(1))
    if (nowMs() > end) return false;
  return true;
}
bool BridgeRig::waitOut(const std::string& n, int ms) { return waitIn(*this, q.out, n, ms); }
bool BridgeRig::waitErr(const std::string& n, int ms) { return waitIn(*this, q.err, n, ms); }

void signalChild(const Child& c, int sig) {
  if (c.pid > 0) kill(c.pid, sig);
}

int BridgeRig::stop(int sig, int timeout_ms) {
  if (q.pid <= 0) return -1;
  signalChild(q, sig);
  int status = waitChild(q, timeout_ms, [&] { pump(1); });
  pump(20);  // what is still on its way to the camera
  return status;
}

std::string BridgeRig::context() const {
  std::string text = "--- simulator\n";
  for (const std::string& l : simLog) text += l + "\n";
  return text + "--- quorvel stdout\n" + q.out + "--- quorvel stderr\n" + q.err;
}

}  // namespace testing_support
