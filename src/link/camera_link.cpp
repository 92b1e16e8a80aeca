#include "link/camera_link.h"
#include "base/hot.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

static void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

static sockaddr_in ipv4(const std::string& ip, int32_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr);  // not IPv4: stays 0.0.0.0
  return a;
}

void cameraSetup(CameraLink& link, const CameraConfig& camera, const std::string& who) {
  link.to = ipv4(camera.visca_host, camera.visca_port);
  link.local = sockaddr_in{};
  if (!camera.bind_source_ip.empty()) link.local = ipv4(camera.bind_source_ip, 0);
  link.host = camera.visca_host;
  link.port = camera.visca_port;
  link.who = who;
  closeFd(link.spare);  // opened for the old address
  link.prepareAtNs = 0;
}

static bool bindLocal(const CameraLink& link, int fd) {
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&link.local), sizeof link.local) == 0;
}

void cameraPrepare(CameraLink& link) {
  closeFd(link.retired.fd);
  link.prepareAtNs = INT64_MAX;
  if (link.spare >= 0) return;
  link.spare = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  link.spareBindErr = 0;
  link.spareConnected = false;
  if (link.spare < 0) return;
  if (link.local.sin_family == AF_INET && !bindLocal(link, link.spare)) {
    // Left unbound and unconnected, so that the bind can be tried again at the send: the
    // address may come up in the meantime.
    link.spareBindErr = errno;
    return;
  }
  link.spareConnected =
      ::connect(link.spare, reinterpret_cast<const sockaddr*>(&link.to), sizeof link.to) == 0;
}

static std::string errText(const char* what, int err) {
  return std::string(what) + std::strerror(err);
}

static void udpFailed(const CameraLink& link, const char* what, int err, LogLines& lines) {
  addErr(lines, errText(("[ERR][UDP] " + link.who + what).c_str(), err));
}

// One UDP rung. The spare socket goes first; a further rung opens its own. Nothing is built or
// allocated before the datagram has left.
QUORVEL_HOT static bool sendUdp(CameraLink& link, const Bytes& bytes, int64_t now,
                                LogLines& lines) {
  if (bytes.empty()) {
    // sendto() would take the empty datagram and report 0 bytes with a stale errno.
    addErr(lines, "[ERR][UDP] " + link.who + "sendto() failed: nothing to send (empty command)");
    return false;
  }
  int fd = link.spare;
  const bool connected = link.spareConnected;
  link.spare = -1;
  link.spareConnected = false;
  if (fd >= 0 && link.spareBindErr != 0 && !bindLocal(link, fd)) {
    // The address may have come up since the socket was opened: the bind is tried again.
    udpFailed(link, "bind() failed: ", errno, lines);
  } else if (fd < 0) {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      udpFailed(link, "socket() failed: ", errno, lines);
      return false;
    }
    if (link.local.sin_family == AF_INET && !bindLocal(link, fd))
      udpFailed(link, "bind() failed: ", errno, lines);
  }
  ssize_t sent = connected ? ::send(fd, bytes.data(), bytes.size(), 0)
                           : ::sendto(fd, bytes.data(), bytes.size(), 0,
                                      reinterpret_cast<const sockaddr*>(&link.to), sizeof link.to);
  if (sent <= 0) {
    int err = errno;
    ::close(fd);
    udpFailed(link, "sendto() failed: ", err, lines);
    return false;
  }
  if (link.retired.fd >= 0) ::close(link.retired.fd);  // two deliveries within kPrepareDelayNs
  link.retired = link.answers;
  link.answers = {fd, &bytes, now + kAnswerWindowNs};
  link.prepareAtNs = now + kPrepareDelayNs;
  return true;
}

static void tcpFailed(CameraLink& link, const char* what, int err, LogLines& lines) {
  addErr(lines, errText(("[ERR][TCP] " + link.who + what).c_str(), err));
  closeFd(link.tcp);
}

// Sends on the connected TCP socket: DELIVERED, RUNNING (wait for room) or FAILED (next rung).
static DeliveryStatus tcpSend(CameraLink& link, int64_t now, LogLines& lines) {
  const Bytes& bytes = *link.ladder.rungs[link.next - 1].bytes;
  if (bytes.empty()) {
    addErr(lines, "[ERR][TCP] " + link.who + "send() failed: nothing to send (empty command)");
    closeFd(link.tcp);
    return DeliveryStatus::FAILED;
  }
  ssize_t sent = ::send(link.tcp, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent > 0) {
    closeFd(link.tcp);
    addOut(lines, "[SEND][TCP] " + link.who + link.host + ":" + std::to_string(link.port) + "  " +
                      bytesToHexString(bytes));
    return DeliveryStatus::DELIVERED;
  }
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    link.tcpDeadlineNs = now + kTcpStepNs;
    return DeliveryStatus::RUNNING;
  }
  tcpFailed(link, "send() failed: ", sent == 0 ? EIO : errno, lines);
  return DeliveryStatus::FAILED;
}

// Starts one TCP rung: RUNNING while the connection is being made.
static DeliveryStatus startTcp(CameraLink& link, int64_t now, LogLines& lines) {
  link.tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (link.tcp < 0) {
    addErr(lines, errText(("[ERR][TCP] " + link.who + "socket() failed: ").c_str(), errno));
    return DeliveryStatus::FAILED;
  }
  link.tcpNew = true;
  link.tcpConnected = false;
  link.tcpDeadlineNs = now + kTcpStepNs;
  if (::connect(link.tcp, reinterpret_cast<const sockaddr*>(&link.to), sizeof link.to) == 0) {
    link.tcpConnected = true;
    return tcpSend(link, now, lines);
  }
  if (errno == EINPROGRESS) return DeliveryStatus::RUNNING;
  tcpFailed(link, "connect() failed: ", errno, lines);
  return DeliveryStatus::FAILED;
}

// Climbs the ladder from the next rung until one delivers, one is left running, or none is left.
QUORVEL_HOT static DeliveryStatus climb(CameraLink& link, int64_t now, LogLines& lines) {
  while (link.next < link.ladder.count) {
    const Rung& rung = link.ladder.rungs[link.next++];
    if (!rung.tcp) {
      if (sendUdp(link, *rung.bytes, now, lines))
        return link.active = false, DeliveryStatus::DELIVERED;
      continue;
    }
    DeliveryStatus s = startTcp(link, now, lines);
    if (s == DeliveryStatus::RUNNING) return s;
    if (s == DeliveryStatus::DELIVERED) return link.active = false, s;
  }
  link.active = false;
  addErr(lines, "[WARN] " + link.who + "All send attempts failed for state " +
                    tallyStateToString(link.ladder.state));
  return DeliveryStatus::FAILED;
}

QUORVEL_HOT DeliveryStatus cameraDeliver(CameraLink& link, const Ladder& ladder, int64_t now,
                                         LogLines& lines) {
  cameraAbandon(link);
  link.ladder = ladder;
  link.next = 0;
  link.active = true;
  return climb(link, now, lines);
}

DeliveryStatus cameraContinue(CameraLink& link, bool ready, int64_t now, LogLines& lines) {
  if (!link.active || link.tcp < 0) return DeliveryStatus::RUNNING;
  if (!ready) {
    if (now < link.tcpDeadlineNs) return DeliveryStatus::RUNNING;
    if (link.tcpConnected)
      tcpFailed(link, "send() failed: ", EAGAIN, lines);
    else
      tcpFailed(link, "connect() failed: ", ETIMEDOUT, lines);
    return climb(link, now, lines);
  }
  if (!link.tcpConnected) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(link.tcp, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err == EINPROGRESS || err == EALREADY) return DeliveryStatus::RUNNING;
    if (err != 0) {
      tcpFailed(link, "connect() failed: ", err, lines);
      return climb(link, now, lines);
    }
    link.tcpConnected = true;
  }
  DeliveryStatus s = tcpSend(link, now, lines);
  if (s == DeliveryStatus::FAILED) return climb(link, now, lines);
  if (s == DeliveryStatus::DELIVERED) link.active = false;
  return s;
}

QUORVEL_HOT void cameraAbandon(CameraLink& link) {
  closeFd(link.tcp);
  link.active = false;
}

bool cameraReadAnswer(const CameraLink::Answers& a, uint8_t* buf, size_t size, size_t& n) {
  if (a.fd < 0) return false;
  ssize_t got = ::recv(a.fd, buf, size, MSG_DONTWAIT);
  if (got < 0) return false;
  n = static_cast<size_t>(got);
  return true;
}

void cameraAnswerExpire(CameraLink& link, int64_t now) {
  if (link.answers.fd >= 0 && now >= link.answers.untilNs) closeFd(link.answers.fd);
}

int64_t cameraDeadline(const CameraLink& link) {
  int64_t next = INT64_MAX;
  if (link.active && link.tcp >= 0) next = link.tcpDeadlineNs;
  if (link.answers.fd >= 0) next = std::min(next, link.answers.untilNs);
  return std::min(next, link.prepareAtNs);
}

void cameraClose(CameraLink& link) {
  cameraAbandon(link);
  closeFd(link.spare);
  closeFd(link.answers.fd);
  closeFd(link.retired.fd);
}
