// Cameras lit by HTTP requests, run by libcurl's multi interface inside the one event loop: curl
// says which sockets to watch and when its timer is due (the agent records it; the driver turns
// it into epoll watches and a deadline), and the driver hands each readiness back. Nothing
// blocks and curl runs no thread: every host is looked up when the configuration is read and
// pinned here, so curl never resolves a name itself.
//
// One delivery is the state's requests, in order; it ends at the first that fails (a status of
// 400 or more, no answer within the time-outs, a refused connection). Each camera keeps its own
// easy handle, so its connection stays open from one delivery to the next. Only http:// is
// spoken, no redirect is followed, and the credentials go in headers, never in a URL or a line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/config.h"
#include "core/core.h"
#include "link/http_libs.h"

constexpr long kHttpConnectMs = 1500;
constexpr long kHttpAnswerMs = 1500;  // after the connection is made

// The one multi handle, and what it asked of the event loop since the driver last looked.
struct HttpAgent {
  CurlApi curl;  // loaded by httpAgentOpen
  CURLM* multi = nullptr;
  struct SocketChange {
    int fd;
    int what;  // CURL_POLL_IN, _OUT, _INOUT, _REMOVE
  };
  std::vector<SocketChange> changes;
  int64_t deadlineNs = INT64_MAX;  // when curl's timer is due
  int64_t nowNs = 0;               // the reading of the call under way, for the timer
};

struct HttpCamera {
  CURL* easy = nullptr;
  const CameraConfig* config = nullptr;
  curl_slist* resolve = nullptr;  // "host:port:address" for every host of its URLs
  TallyState state = OFF;
  size_t next = 0;  // the request under way
  bool active = false;
};

// False, with the reason, when libcurl cannot be set up.
bool httpAgentOpen(HttpAgent& agent, std::string& error);
void httpAgentClose(HttpAgent& agent);

void httpCameraOpen(HttpAgent& agent, HttpCamera& camera, const CameraConfig& config);
void httpCameraClose(HttpAgent& agent, HttpCamera& camera);

// Starts the requests for `state`, dropping any under way: RUNNING, or FAILED at once.
void httpDeliver(HttpAgent& agent, HttpCamera& camera, TallyState state, int64_t now,
                 DeliveryReport& report);

// A socket of curl's is ready (`events` from epoll), or with fd -1 its timer is due.
void httpAgentRun(HttpAgent& agent, int fd, uint32_t events, int64_t now);

// A delivery that ended, or moved on to its next request.
struct HttpDone {
  HttpCamera* camera;
  DeliveryReport report;
};
// What the last runs finished: each camera's report (RUNNING while its next request starts).
void httpAgentReap(HttpAgent& agent, int64_t now, std::vector<HttpDone>& done);
