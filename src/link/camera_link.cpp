#include "link/camera_link.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/hot.h"

static void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

static sockaddr_in ipv4(uint32_t host, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = host;
  return a;
}

void cameraSetup(CameraLink& link, const CameraConfig& camera) {
  link.keepTcp = camera.ladder.tcpFirst;
  link.to = ipv4(camera.host, camera.port);
  link.local = sockaddr_in{};
  // An address that is no dotted IPv4 address is bound as 0.0.0.0, as it always was.
  if (!camera.settings.bind_source_ip.empty()) link.local = ipv4(camera.bindHost, 0);
  closeFd(link.spare);  // opened for the old address
  link.spareConnected = false;
  link.spareBindErr = 0;
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

static void udpFailed(const char* call, int err, DeliveryReport& report) {
  report.failures.push_back({LinkFailure::UDP, call, err, {}});
}

// One UDP rung. The spare socket goes first; a further rung opens its own. Nothing is built or
// allocated before the datagram has left.
QUORVEL_HOT static bool sendUdp(CameraLink& link, const Rung& rung, int64_t now,
                                DeliveryReport& report) {
  const Bytes* out = rung.bytes;
  if (rung.framed) {
    viscaIpFrame(*rung.bytes, link.sequence, link.frame);
    out = &link.frame;
  }
  const Bytes& bytes = *out;
  if (rung.bytes->empty()) {
    // sendto() would take the empty datagram and report 0 bytes with a stale errno.
    udpFailed("sendto()", kErrEmptyCommand, report);
    return false;
  }
  int fd = link.spare;
  const bool connected = link.spareConnected;
  link.spare = -1;
  link.spareConnected = false;
  if (fd >= 0 && link.spareBindErr != 0 && !bindLocal(link, fd)) {
    // The address may have come up since the socket was opened: the bind is tried again.
    udpFailed("bind()", errno, report);
  } else if (fd < 0) {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      udpFailed("socket()", errno, report);
      return false;
    }
    if (link.local.sin_family == AF_INET && !bindLocal(link, fd))
      udpFailed("bind()", errno, report);
  }
  ssize_t sent = connected ? ::send(fd, bytes.data(), bytes.size(), 0)
                           : ::sendto(fd, bytes.data(), bytes.size(), 0,
                                      reinterpret_cast<const sockaddr*>(&link.to), sizeof link.to);
  if (sent <= 0) {
    int err = errno;
    ::close(fd);
    udpFailed("sendto()", err, report);
    return false;
  }
  if (rung.framed) ++link.sequence;
  if (link.retired.fd >= 0) ::close(link.retired.fd);  // two deliveries within kPrepareDelayNs
  link.retired = link.answers;
  link.answers = {fd, rung.bytes, now + kAnswerWindowNs};
  link.prepareAtNs = now + kPrepareDelayNs;
  return true;
}

static void tcpFailed(CameraLink& link, const char* call, int err, DeliveryReport& report) {
  report.failures.push_back({LinkFailure::TCP, call, err, {}});
  closeFd(link.tcp);
}

// Sends on the connected TCP socket: DELIVERED, RUNNING (wait for room) or FAILED (next rung).
static DeliveryStatus tcpSend(CameraLink& link, int64_t now, DeliveryReport& report) {
  const Bytes& bytes = *link.ladder.rungs[link.next - 1].bytes;
  if (bytes.empty()) {
    tcpFailed(link, "send()", kErrEmptyCommand, report);
    return DeliveryStatus::FAILED;
  }
  ssize_t sent = ::send(link.tcp, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent > 0) {
    if (link.keepTcp) {
      link.kept = link.tcp;
      link.tcp = -1;
    }
    closeFd(link.tcp);
    report.tcpSent = &bytes;
    return DeliveryStatus::DELIVERED;
  }
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    link.tcpDeadlineNs = now + kTcpStepNs;
    link.tcpNew = true;
    return DeliveryStatus::RUNNING;
  }
  tcpFailed(link, "send()", sent == 0 ? EIO : errno, report);
  return DeliveryStatus::FAILED;
}

// The connection kept from the last delivery, when the camera has not closed it: what it answered
// meanwhile is read and dropped.
static bool keptAlive(CameraLink& link) {
  if (link.kept < 0) return false;
  uint8_t buf[256];
  ssize_t n;
  while ((n = ::recv(link.kept, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
  closeFd(link.kept);  // closed by the camera, or failed
  return false;
}

// Starts one TCP rung: RUNNING while the connection is being made.
static DeliveryStatus startTcp(CameraLink& link, int64_t now, DeliveryReport& report) {
  if (keptAlive(link)) {
    link.tcp = link.kept;
    link.kept = -1;
    link.tcpConnected = true;
    link.tcpDeadlineNs = now + kTcpStepNs;
    DeliveryStatus s = tcpSend(link, now, report);
    if (s != DeliveryStatus::FAILED) return s;  // else a new connection, for the same rung
  }
  link.tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (link.tcp < 0) {
    report.failures.push_back({LinkFailure::TCP, "socket()", errno, {}});
    return DeliveryStatus::FAILED;
  }
  link.tcpNew = true;
  link.tcpConnected = false;
  link.tcpDeadlineNs = now + kTcpStepNs;
  if (::connect(link.tcp, reinterpret_cast<const sockaddr*>(&link.to), sizeof link.to) == 0) {
    link.tcpConnected = true;
    return tcpSend(link, now, report);
  }
  if (errno == EINPROGRESS) return DeliveryStatus::RUNNING;
  tcpFailed(link, "connect()", errno, report);
  return DeliveryStatus::FAILED;
}

// Climbs the ladder from the next rung until one delivers, one is left running, or none is left.
QUORVEL_HOT static DeliveryStatus climb(CameraLink& link, int64_t now, DeliveryReport& report) {
  while (link.next < link.ladder.count) {
    const Rung& rung = link.ladder.rungs[link.next++];
    if (!rung.tcp) {
      if (sendUdp(link, rung, now, report))
        return link.active = false, DeliveryStatus::DELIVERED;
      continue;
    }
    DeliveryStatus s = startTcp(link, now, report);
    if (s == DeliveryStatus::RUNNING) return s;
    if (s == DeliveryStatus::DELIVERED) return link.active = false, s;
  }
  link.active = false;
  return DeliveryStatus::FAILED;
}

QUORVEL_HOT void cameraDeliver(CameraLink& link, const Ladder& ladder, int64_t now,
                               DeliveryReport& report) {
  cameraAbandon(link);
  link.ladder = ladder;
  link.next = 0;
  link.active = true;
  report.status = climb(link, now, report);
}

static DeliveryStatus proceed(CameraLink& link, bool ready, int64_t now, DeliveryReport& report) {
  if (!link.active || link.tcp < 0) return DeliveryStatus::RUNNING;
  if (!ready) {
    if (now < link.tcpDeadlineNs) return DeliveryStatus::RUNNING;
    tcpFailed(link, link.tcpConnected ? "send()" : "connect()",
              link.tcpConnected ? EAGAIN : ETIMEDOUT, report);
    return climb(link, now, report);
  }
  if (!link.tcpConnected) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(link.tcp, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err == EINPROGRESS || err == EALREADY) return link.tcpNew = true, DeliveryStatus::RUNNING;
    if (err != 0) {
      tcpFailed(link, "connect()", err, report);
      return climb(link, now, report);
    }
    link.tcpConnected = true;
  }
  DeliveryStatus s = tcpSend(link, now, report);
  if (s == DeliveryStatus::FAILED) return climb(link, now, report);
  if (s == DeliveryStatus::DELIVERED) link.active = false;
  return s;
}

void cameraContinue(CameraLink& link, bool ready, int64_t now, DeliveryReport& report) {
  report.status = proceed(link, ready, now, report);
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
  closeFd(link.kept);
  closeFd(link.spare);
  closeFd(link.answers.fd);
  closeFd(link.retired.fd);
}
