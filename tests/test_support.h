// Shared test helpers: loopback sockets, a temporary folder, child processes whose output is
// captured, and the built quorvel wired between a simulated switcher and a camera sink.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "config/config.h"
#include "switcher_sim.h"

namespace testing_support {

struct UdpPeer {  // bound to ip:port (0: a free port); closed on destruction
  int fd = -1;
  uint16_t port = 0;
  UdpPeer(const std::string& ip, uint16_t port);
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  bool receive(Bytes& out, int timeout_ms, sockaddr_in* from = nullptr);  // false on time-out
  void sendTo(const Bytes& data, const sockaddr_in& to);
};

struct TcpListener {  // listening on ip with a free port
  int fd = -1;
  uint16_t port = 0;
  explicit TcpListener(const std::string& ip);
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
};

// A camera that listens on TCP only: it counts the connections and keeps what arrives.
struct TcpCamera {
  TcpListener listener{"127.0.0.1"};
  std::vector<int> conns;
  Bytes got;
  TcpCamera();
  ~TcpCamera();
  void close();  // every connection, as cameras do when idle
  void pump();   // takes what has come, without waiting
};

// A TCP listener on ip whose accept queue is full, so that a connection attempt hangs: the
// camera that never answers.
struct HangingListener {
  int fd = -1, filler = -1;
  uint16_t port = 0;
  explicit HangingListener(const std::string& ip);
  ~HangingListener();
  HangingListener(const HangingListener&) = delete;
};

struct TempDir {  // removed with its contents on destruction
  std::string path;
  TempDir();
  ~TempDir();
  std::string write(const std::string& name, const std::string& content) const;
};

struct Child {  // killed if still running on destruction
  pid_t pid = -1;
  int outFd = -1, errFd = -1;
  std::string out, err;
  ~Child();
};

// Sends `sig` to the child while it runs; never to anything else (kill(-1) reaches every
// process of the user).
void signalChild(const Child& c, int sig);
// Starts argv with `env` applied ("NAME=value" sets, "NAME" unsets).
void startChild(Child& c, const std::vector<std::string>& argv,
                const std::vector<std::string>& env);
void pumpChild(Child& c, int timeout_ms);  // reads what arrives within the time
// Both wait up to `timeout_ms`, reading the child's output and running `each` meanwhile.
bool waitForOutput(Child& c, const std::string& needle, int timeout_ms,
                   const std::function<void()>& each = {});  // true once stdout has `needle`
int waitChild(Child& c, int timeout_ms,
              const std::function<void()>& each = {});  // exit status, or -1 on time-out

Bytes hexBytes(const std::string& hex);  // "81 01 ff"; throws on anything else
inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
// A command too long for a datagram, so every UDP rung fails at once. It starts with the run
// that scheme A rewrites.
std::string hugeHex();
int countOf(const std::string& text, const std::string& needle);  // occurrences
// For EXPECT_TRUE / EXPECT_FALSE: whether `text` holds `needle`, the text shown either way.
::testing::AssertionResult holds(const std::string& text, const std::string& needle);
// Datagrams as a switcher sends them: a packet (12-byte header, then `payload`), the answer to a
// hello (`code` 0x02 accepted, 0x03 full, 0x04 open again), and command blocks.
Bytes atemPacket(uint8_t flags, uint16_t session, uint16_t id, const Bytes& payload = {});
Bytes atemSynAnswer(uint16_t session, uint8_t code);
Bytes atemBlock(const char* name, const Bytes& data);
Bytes busBlock(const char* name, int me, uint16_t input);  // "PrgI" or "PrvI"
Bytes tallyBlock(const std::vector<std::pair<uint16_t, uint8_t>>& flagsBySource);  // "TlSr"
// The configuration a document gives; throws with the reason when it is refused.
Config configOf(const std::string& json);
// The one camera of {"atem_ip": "127.0.0.1", "visca_host": "127.0.0.1" `members`}.
CameraConfig cameraSpec(const std::string& members = "");
// The payloads of a recorded switcher dump in tests/data/atem-dumps/; throws if unreadable.
std::vector<Bytes> readDump(const std::string& file);
// The camera simulator in --json mode on `ip` and a free port ("--port 0" in `args` adds one
// more): an address per port, in order; fewer when it did not start within 5 s.
struct CameraSim {
  Child child;
  std::vector<sockaddr_in> addrs;
  uint16_t port = 0;  // the first; 0 when it did not start
  explicit CameraSim(std::vector<std::string> args, const std::string& ip = "127.0.0.1");
  std::string lamp();  // the lamp of the last line that names one ("" before any)
};
sockaddr_in loopbackAddr(const std::string& ip, uint16_t port);
int64_t nowMs();
int countOpenFds(pid_t pid);

// The camera's default commands for the three lamps.
inline const Bytes kProgram = hexBytes("81 01 7e 01 0a 01 05 ff");
inline const Bytes kPreview = hexBytes("81 01 7e 01 0a 01 04 ff");
inline const Bytes kOff = hexBytes("81 01 7e 01 0a 01 00 ff");

// A camera played by the test: every datagram is queued for BridgeRig::lamp and counted.
struct CameraSink {
  UdpPeer sock{"127.0.0.1", 0};
  std::deque<Bytes> lamps;
  uint64_t count = 0;
};

// The built quorvel between a switcher simulator (in this process, on `ip`, port 9910) and
// camera sinks on 127.0.0.1. The configuration names the first sink at the top level.
struct BridgeRig {
  quorvel_sim::SwitcherSim sw;
  std::string ip, cfgPath;
  std::vector<std::unique_ptr<CameraSink>> sinks;
  UdpPeer& camera;  // the first sink
  TempDir dir;
  Child q;
  std::vector<std::string> simLog;  // the simulator's first 200 event lines
  bool readOutput = true;           // false: the child's standard output is left unread

  // `answer` false: no simulator, so the test can play the switcher address itself.
  explicit BridgeRig(const std::string& ip, bool answer = true);
  ~BridgeRig();
  uint16_t addCamera();  // one more sink: its port
  // Writes the configuration (`extra` is added to the object, e.g. ", \"me_index\": 1") and
  // starts `argv` (default: the built quorvel) with QUORVEL_CFG naming it and `env` added.
  void start(const std::string& extra, std::vector<std::string> argv = {},
             std::vector<std::string> env = {});
  void writeConfig(const std::string& extra);
  void pump(int ms);  // serves the switcher and drains the cameras and the child
  Bytes lamp(int timeout_ms = 6000, size_t cam = 0);  // the next camera datagram; empty on time-out
  bool waitOut(const std::string& needle, int timeout_ms = 6000);  // on the child's stdout
  bool waitErr(const std::string& needle, int timeout_ms = 2000);  // on its stderr
  // Sends `sig` and pumps until the child exits: its exit status.
  int stop(int sig, int timeout_ms = 10000);
  std::string context() const;  // the simulator's events and the child's output
};

}  // namespace testing_support
