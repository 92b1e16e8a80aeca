#include "visca/visca_sender.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "app/log.h"

ViscaSender makeViscaSender(const Config& config) {
  ViscaSender s;
  s.host = config.visca_host;
  s.port = config.visca_port;
  s.bindSourceIp = config.bind_source_ip;
  s.tryPrefix = config.compat_try_prefix;
  s.tryTcp = config.compat_try_tcp;
  return s;
}

static sockaddr_in ipv4Address(const std::string& ip, int32_t port) {
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr);  // not IPv4: stays 0.0.0.0
  return a;
}

// Closes the descriptor without disturbing errno, which the caller is about to report.
static void closeKeepingErrno(int fd) {
  int saved = errno;
  ::close(fd);
  errno = saved;
}

bool ViscaSender::sendUdp(const Bytes& bytes) const {
  if (bytes.empty()) {
    // sendto() would take the empty datagram and report 0 bytes with a stale errno.
    logErr("[ERR][UDP] sendto() failed: nothing to send (empty command)");
    return false;
  }
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    logErrno("[ERR][UDP] socket() failed: ");
    return false;
  }
  if (!bindSourceIp.empty()) {
    sockaddr_in local = ipv4Address(bindSourceIp, 0);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
      logErrno("[ERR][UDP] bind() failed: ");
  }
  sockaddr_in to = ipv4Address(host, port);
  ssize_t sent =
      ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  closeKeepingErrno(fd);
  if (sent > 0) return true;
  logErrno("[ERR][UDP] sendto() failed: ");
  return false;
}

bool ViscaSender::sendTcp(const Bytes& bytes) const {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    logErrno("[ERR][TCP] socket() failed: ");
    return false;
  }
  // The send time-out also bounds a blocking connect on Linux.
  timeval tv{1, 500000};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

  sockaddr_in to = ipv4Address(host, port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    int saved = errno;
    logErr(std::string("[ERR][TCP] connect() failed: ") + std::strerror(saved));
    ::close(fd);
    return false;
  }
  ssize_t sent = ::send(fd, bytes.data(), bytes.size(), 0);
  closeKeepingErrno(fd);
  if (sent > 0) {
    logOut("[SEND][TCP] " + host + ":" + std::to_string(port) + "  " + bytesToHexString(bytes));
    return true;
  }
  logErrno("[ERR][TCP] send() failed: ");
  return false;
}

bool sendTallyState(const CommandSet& commands, const Config& config, const ViscaSender& sender,
                    TallyState state) {
  const Bytes* plainB = &commands.off;
  const Bytes* prefixedB = &commands.offP;
  const Bytes* plainA = &commands.offA;
  const Bytes* prefixedA = &commands.offAP;
  if (state == PROGRAM) {
    plainB = &commands.program, prefixedB = &commands.programP;
    plainA = &commands.programA, prefixedA = &commands.programAP;
  } else if (state == PREVIEW) {
    plainB = &commands.preview, prefixedB = &commands.previewP;
    plainA = &commands.previewA, prefixedA = &commands.previewAP;
  }

  std::vector<std::pair<Bytes, Bytes>> candidates;
  candidates.emplace_back(*plainB, *prefixedB);
  if (config.compat_try_both_ops) candidates.emplace_back(*plainA, *prefixedA);

  for (const auto& [plain, prefixed] : candidates) {
    if (sender.sendUdp(plain)) return true;
    if (sender.tryPrefix && !prefixed.empty() && sender.sendUdp(prefixed)) return true;
    if (sender.tryTcp) {
      if (sender.sendTcp(plain)) return true;
      if (sender.tryPrefix && !prefixed.empty() && sender.sendTcp(prefixed)) return true;
    }
  }
  logErr("[WARN] All send attempts failed for state " + tallyStateToString(state));
  return false;
}
