// One camera's sockets and the delivery under way. Nothing here blocks: a UDP rung is one
// send() on a socket opened ahead of time, and a TCP rung is a non-blocking connect and send
// whose progress the event loop reports (cameraContinue), each step limited to 1.5 s. A camera
// that listens on TCP (visca_transport "tcp") keeps its connection between deliveries; one the
// camera has closed, or that fails, is made again. What the camera answers on it is read and
// dropped before the next command.
//
// Each delivery's datagram leaves from a socket of its own, as cameras have always seen it, but
// that socket is opened, bound and connected to the camera before it is needed, so the send
// finds its port and route ready. The next one is opened a moment after a delivery
// (kPrepareDelayNs), once the camera and the switcher have had their datagrams and the machine
// has moved on, never on the path from a switcher packet to the camera. The delivery's socket
// stays open for a second after the send; what the camera answers on it is read when that second
// is over, or when the next delivery's socket takes its place, so answers never wake the bridge.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "config/config.h"
#include "core/core.h"
#include "visca/visca_ladder.h"

constexpr int64_t kTcpStepNs = 1500 * kNsPerMs;  // limit of a TCP connect, and of a TCP send
constexpr int64_t kAnswerWindowNs = 1000 * kNsPerMs;
constexpr int64_t kPrepareDelayNs = 2 * kNsPerMs;

struct CameraLink {
  sockaddr_in to{};
  sockaddr_in local{};  // bind_source_ip; family 0 when UDP sends are not bound

  int spare = -1;        // datagram socket for the next delivery, bound and connected
  int spareBindErr = 0;  // errno of its failed bind, tried again before the send
  bool spareConnected = false;
  int64_t prepareAtNs = 0;  // when to open the next spare (INT64_MAX: nothing to do)

  // A delivery's datagram socket, kept for the camera's answers.
  struct Answers {
    int fd = -1;
    const Bytes* command = nullptr;  // what was sent on it
    int64_t untilNs = 0;
  };
  Answers answers;  // the last delivery's
  Answers retired;  // the one before, read and closed with the next preparation

  Ladder ladder;  // the delivery under way
  bool active = false;
  int next = 0;  // next rung
  int tcp = -1;
  bool tcpNew = false;  // to be watched (again) by the event loop, once, for room to send
  uint32_t sequence = 0;  // of the next datagram behind the VISCA-over-IP header
  Bytes frame;            // that datagram, its buffer kept from one delivery to the next
  bool keepTcp = false;  // a camera that listens on TCP: its connection stays open
  int kept = -1;         // ... this one, between deliveries
  bool tcpConnected = false;
  int64_t tcpDeadlineNs = 0;
};

// Sets the addresses from the camera's config.
void cameraSetup(CameraLink& link, const CameraConfig& camera);
// Work kept off the delivery path, due at prepareAtNs: closes the retired answer socket (read it
// first) and opens the spare.
void cameraPrepare(CameraLink& link);
// Starts a delivery by `ladder`: UDP rungs run at once, a TCP rung is started and left RUNNING.
// The rungs that fail are added to `report`, and its status set.
void cameraDeliver(CameraLink& link, const Ladder& ladder, int64_t now, DeliveryReport& report);
// The TCP socket is ready, or (ready false) its deadline has passed.
void cameraContinue(CameraLink& link, bool ready, int64_t now, DeliveryReport& report);
// Drops the delivery under way, closing its TCP socket.
void cameraAbandon(CameraLink& link);
// Reads one datagram waiting on `a`; false when none is.
bool cameraReadAnswer(const CameraLink::Answers& a, uint8_t* buf, size_t size, size_t& n);
// Closes the answer socket once its window is over (read it first).
void cameraAnswerExpire(CameraLink& link, int64_t now);
// The next reading at which the link needs a look (INT64_MAX: none).
int64_t cameraDeadline(const CameraLink& link);
// Closes every socket.
void cameraClose(CameraLink& link);
