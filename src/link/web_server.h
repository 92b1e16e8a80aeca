// The live status page's HTTP server: GNU libmicrohttpd in external epoll mode, driven by the
// bridge's one event loop. It runs no thread: the driver watches webServerFd (readable when any
// connection, the listener or a resumed stream needs attention), calls webServerRun then and
// whenever webServerDeadline is due, and calls webServerPublish with the status JSON on every
// change.
//
// Read only, and small on purpose:
//   GET/HEAD /              the overview page          text/html
//            /tally/<name>  one camera's full-screen page (the name URL-decoded, matched exactly;
//                           an unknown name: 404 with the cameras as links)
//            /events        server-sent events: the status now, then one event per publish
//            /api/status    the status JSON            application/json
//            /metrics       Prometheus text            text/plain; version=0.0.4
// Any other path is 404 and any other method 405 (with Allow: GET, HEAD); nothing is read from
// disk. Every answer carries a Content-Security-Policy that allows only the page's own inline
// style and script and connections back to this server, plus nosniff and no-store.
//
// Limits: 64 connections in all, the 65th closed at once (no limit per address: a crew's phones
// often share one NAT address), 10 s to send a whole request (however slowly its bytes come) or
// without progress closes a connection, the request head must fit the connection's 16 KiB
// memory (else 431 or a closed connection). A stream whose client does not read has its events
// queue up; past 64 KiB unsent it is dropped.
//
// Streams cost nothing while idle: a stream with nothing to send is suspended (MHD no longer
// watches its socket). The one exception is a ping event every 15 s, sent only while streams are
// open: it lets a page's watchdog tell a quiet connection from a dead one, and lets the server
// find out (by a failing write) about clients that vanished, which a suspended connection could
// never notice on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "link/http_libs.h"

constexpr unsigned kWebMaxConnections = 64;
constexpr unsigned kWebIdleSeconds = 10;
constexpr size_t kWebConnectionMemory = 16 * 1024;
constexpr size_t kWebMaxUnsent = 64 * 1024;
constexpr int64_t kWebRequestNs = kWebIdleSeconds * 1'000 * kNsPerMs;  // to send a whole request
constexpr int64_t kWebPingNs = 15'000 * kNsPerMs;

// Where the server's data comes from, so that it knows nothing of the core. All three must be
// set; they are called from within webServerRun.
struct WebSource {
  std::function<std::string()> status;                // the /api/status JSON as of now
  std::function<std::string()> metrics;               // the /metrics text
  std::function<std::vector<std::string>()> cameras;  // the cameras' names, in order
};

struct WebServer;

// One event as sent, shared by every stream it is queued on.
using WebEvent = std::shared_ptr<const std::string>;

// One /events client: the events published to it that libmicrohttpd has not taken yet.
struct WebClient {
  WebServer* server = nullptr;
  MHD_Connection* connection = nullptr;
  std::deque<WebEvent> events;  // the first one from `offset` on
  size_t offset = 0;
  size_t unsentBytes = 0;
  bool suspended = false;  // nothing to send: libmicrohttpd does not look at it
  bool dropped = false;    // it is being closed
};

// A connection that owes a request, and since when (see webServerRun).
struct WebWaiting {
  MHD_Connection* connection = nullptr;
  int64_t sinceNs = 0;
  bool owing = true;
};

// Lives at one address from webServerStart to webServerStop (libmicrohttpd keeps pointers to it
// and to its clients).
struct WebServer {
  MhdApi mhd;  // loaded by webServerStart
  MHD_Daemon* daemon = nullptr;
  int epollFd = -1;
  uint16_t port = 0;  // as bound: the one the system chose for port 0
  WebSource source;
  std::list<WebClient> clients;   // a node lives until libmicrohttpd lets go of its connection
  std::list<WebWaiting> waiting;  // every open connection, the same way
  int64_t nowNs = 0;              // the reading of the call under way
  int64_t nextPingNs = INT64_MAX;
  bool runNow = false;          // a stream was resumed: webServerRun is due at once
  uint64_t droppedClients = 0;  // streams dropped for not reading
};

// Listens on `address` (network order) and `port` (0: any free port, see `port`). False with
// the reason ("bind(): Address already in use") when the address cannot be had.
bool webServerStart(WebServer& server, uint32_t address, uint16_t port, WebSource source,
                    std::string& error);
// Closes every connection and the listener.
void webServerStop(WebServer& server);

// The descriptor to watch for reading (libmicrohttpd's epoll instance).
int webServerFd(const WebServer& server);
// Serves whatever is ready and sends the pings that are due.
void webServerRun(WebServer& server, int64_t now);
// The reading at which webServerRun is due even if webServerFd stays quiet (INT64_MAX: none).
int64_t webServerDeadline(const WebServer& server, int64_t now);

// Queues one event with `json` for every open stream (the driver calls it on every change) and
// drops the streams whose unsent bytes pass kWebMaxUnsent.
void webServerPublish(WebServer& server, const std::string& json);
// The streams open now.
size_t webServerClients(const WebServer& server);
