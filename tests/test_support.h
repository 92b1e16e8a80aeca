// Shared test helpers: loopback sockets, a temporary folder, and child processes whose output is
// captured.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

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
bool waitForOutput(Child& c, const std::string& needle, int timeout_ms, bool inErr = false);
int waitChild(Child& c, int timeout_ms);  // exit status, or -1 on time-out

Bytes hexBytes(const std::string& hex);  // "81 01 ff"
sockaddr_in loopbackAddr(const std::string& ip, uint16_t port);
int64_t nowMs();
int countOpenFds(pid_t pid);

}  // namespace testing_support
