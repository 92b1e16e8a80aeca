// Shared test helpers: loopback sockets, a temporary folder, child processes whose output is
// captured, and the built quorvel wired between a simulated switcher and a camera sink.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "switcher_sim.h"

namespace testing_support {

using Bytes = std::vector<uint8_t>;

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
  bool acceptAndRead(Bytes& out, int timeout_ms);  // one connection, read until closed
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

// Starts argv with `env` applied ("NAME=value" sets, "NAME" unsets).
void startChild(Child& c, const std::vector<std::string>& argv,
                const std::vector<std::string>& env);
void pumpChild(Child& c, int timeout_ms);  // reads what arrives within the time
// Both wait up to `timeout_ms`, reading the child's output and running `each` meanwhile.
bool waitForOutput(Child& c, const std::string& needle, int timeout_ms,
                   const std::function<void()>& each = {});  // true once stdout has `needle`
int waitChild(Child& c, int timeout_ms,
              const std::function<void()>& each = {});  // exit status, or -1 on time-out

Bytes hexBytes(const std::string& hex);  // "81 01 ff"
sockaddr_in loopbackAddr(const std::string& ip, uint16_t port);
int64_t nowMs();
int countOpenFds(pid_t pid);

// The camera's default commands for the three lamps.
inline const Bytes kProgram = hexBytes("81 01 7e 01 0a 01 05 ff");
inline const Bytes kPreview = hexBytes("81 01 7e 01 0a 01 04 ff");
inline const Bytes kOff = hexBytes("81 01 7e 01 0a 01 00 ff");

// The built quorvel between a switcher simulator (in this process, on `ip`, port 9910) and a
// camera sink on `cameraIp`. Every camera datagram is queued for lamp() and kept as lastLamp.
struct BridgeRig {
  quorvel_sim::SwitcherSim sw;
  std::string ip, cameraIp, cfgPath;
  UdpPeer camera;
  TempDir dir;
  Child q;
  std::deque<Bytes> lamps;
  Bytes lastLamp;
  uint64_t lampCommands = 0;
  std::vector<std::string> simLog;  // the simulator's first 200 event lines

  // `answer` false: no simulator, so the test can play the switcher address itself.
  explicit BridgeRig(const std::string& ip, bool answer = true,
                     const std::string& cameraIp = "127.0.0.1");
  ~BridgeRig();
  // Writes the configuration (`extra` is added to the object, e.g. ", \"me_index\": 1") and
  // starts `argv` (default: the built quorvel) with QUORVEL_CFG naming it.
  void start(const std::string& extra, std::vector<std::string> argv = {});
  void pump(int ms);                  // serves the switcher and drains the camera and the child
  Bytes lamp(int timeout_ms = 6000);  // the next camera datagram; empty on time-out
  bool waitOut(const std::string& needle, int timeout_ms = 6000);
  // Sends `sig` and pumps (running `load` each turn) until the child exits: its exit status.
  int stop(int sig, int timeout_ms = 10000, const std::function<void()>& load = {});
  std::string context() const;  // the simulator's events and the child's output
};

}  // namespace testing_support
