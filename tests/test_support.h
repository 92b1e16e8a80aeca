// Helpers shared by the tests: loopback sockets, temporary folders and a way to run the built
// programs as child processes while reading their output.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<uint8_t>;

// A UDP socket bound to `ip`:`port` (port 0 picks a free one). Closed on destruction.
struct UdpPeer {
  int fd = -1;
  uint16_t port = 0;
  UdpPeer(const std::string& ip, uint16_t port);
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;
  // Waits up to `timeout_ms` for one datagram; returns false on time-out. `from` gets the sender.
  bool receive(Bytes& out, int timeout_ms, sockaddr_in* from = nullptr);
  void sendTo(const Bytes& data, const sockaddr_in& to);
};

// A listening TCP socket on `ip` with a free port. Closed on destruction.
struct TcpListener {
  int fd = -1;
  uint16_t port = 0;
  explicit TcpListener(const std::string& ip);
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;
  // Accepts one connection within `timeout_ms` and reads until the peer closes it.
  bool acceptAndRead(Bytes& out, int timeout_ms);
};

// A fresh folder under /tmp, removed with its contents on destruction.
struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  std::string write(const std::string& name, const std::string& content) const;
};

// A child process with its standard output and error captured through pipes.
struct Child {
  pid_t pid = -1;
  int outFd = -1;
  int errFd = -1;
  std::string out;
  std::string err;
  ~Child();
};

// Starts `argv[0]` with `env` added to the environment ("NAME=value"; "NAME" alone unsets).
void startChild(Child& c, const std::vector<std::string>& argv,
                const std::vector<std::string>& env);
// Reads what is available from both pipes into `out` / `err` for up to `timeout_ms`.
void pumpChild(Child& c, int timeout_ms);
// Pumps output until `needle` appears in stdout (or stderr when `inErr`); false on time-out.
bool waitForOutput(Child& c, const std::string& needle, int timeout_ms, bool inErr = false);
// Waits for the child to exit (pumping output); returns the exit status, or -1 on time-out,
// after which the child is killed.
int waitChild(Child& c, int timeout_ms);

Bytes hexBytes(const std::string& hex);  // "81 01 ff" -> bytes
sockaddr_in loopbackAddr(const std::string& ip, uint16_t port);
int64_t nowMs();
int countOpenFds(pid_t pid);

}  // namespace testing_support
