// The live status page, as text: what the core shows (WebView, WebMetrics) and the documents made
// from it, with no socket in sight. The link layer (link/web_server.h) serves them.
//
// The core fills a WebView whenever something it shows changes; the driver turns it into the
// /api/status JSON and publishes that on /events, where every page's script reads it. The pages
// themselves carry no data: each is one self-contained document (inline style and script,
// nothing fetched from elsewhere) that renders the JSON of its event stream, so a phone keeps
// showing the truth while it stays connected and says so plainly when it is not.
//
// /api/status, one JSON object on one line (no raw line feed anywhere, so it is one SSE line):
//   {"switcher": {"address": "192.0.2.10",
//                 "state": "waiting" | "connecting" | "connected" | "lost",
//                 "session": 32769,                 the switcher's session id
//                 "connectedForMs": 61000 | null,   null while not connected
//                 "foreignDropped": 0,              datagrams from anyone but the switcher
//                 "skipped": 0},                    switcher packets skipped
//    "rows": [{"name": "wide",
//              "camera": true,                      false for an output (TSL, tally server)
//              "kind": "VISCA",
//              "address": "192.0.2.21:52381",
//              "source": 1 | null,                  the watched source id, null for none
//              "sourceName": "Camera 1",            the switcher's name of it, may be ""
//              "lamp": "OFF" | "PREVIEW" | "PROGRAM",
//              "lastDeliveryAgoMs": 1200 | null,    null before the first delivery
//              "outcome": "UDP",                    how the last delivery went
//              "answers": "ack",                    what the camera answers
//              "failures": 0}, ...]}
// Times go out as ages in milliseconds: the monotonic readings mean nothing to a browser. Every
// string is valid UTF-8 whatever the configuration held: control bytes are escaped (\n, \t,
// \u0001 ...) and each byte that is not part of a well-formed UTF-8 sequence becomes U+FFFD.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class WebLamp { OFF, PREVIEW, PROGRAM };

struct WebSwitcher {
  std::string address;            // "192.0.2.10"
  std::string state = "waiting";  // "waiting", "connecting", "connected", "lost"
  uint16_t session = 0;
  int64_t connectedSinceNs = 0;  // monotonic reading; 0: not connected
  uint64_t foreignDropped = 0;
  uint64_t skipped = 0;
};

// One camera or one output (a TSL receiver, the tally server).
struct WebRow {
  std::string name;
  bool camera = true;
  std::string kind;        // "VISCA", "HTTP", "TSL 5.0", "tally server" ...
  std::string address;     // "192.0.2.21:52381"
  int32_t source = -1;     // the switcher's source id, -1 for none
  std::string sourceName;  // the switcher's name of the source, may be empty
  WebLamp lamp = WebLamp::OFF;
  int64_t lastDeliveryNs = 0;  // monotonic reading; 0: none yet
  std::string outcome;         // "UDP", "TCP", "HTTP 200", "failed" ...
  std::string answers;         // "ack", "error 41", "" ...
  uint64_t failures = 0;
};

struct WebView {
  WebSwitcher switcher;
  int64_t nowNs = 0;  // the reading the ages are taken against
  std::vector<WebRow> rows;
};

// The latency from a switcher datagram to the camera's datagram or request, in fixed buckets:
// upper bounds 10, 25, 50, 100, 250, 500 µs, 1, 2.5, 5, 10, 25, 50, 100 ms, then +Inf.
constexpr size_t kWebLatencyBuckets = 13;
constexpr int64_t kWebLatencyBoundsNs[kWebLatencyBuckets] = {
    10'000,    25'000,    50'000,     100'000,    250'000,    500'000,    1'000'000,
    2'500'000, 5'000'000, 10'000'000, 25'000'000, 50'000'000, 100'000'000};

struct WebHistogram {
  uint64_t buckets[kWebLatencyBuckets + 1] = {};  // per bucket, not cumulative; last: +Inf
  uint64_t count = 0;
  uint64_t sumNs = 0;
};

// Counts one latency into the first bucket whose bound is >= `ns` (negative counts as 0).
void webObserve(WebHistogram& histogram, int64_t ns);

// One counter of one camera: `label` is the rung ("UDP", "TCP", "HTTP") of deliveries and
// failures, the kind ("ack", "completion", "error") of answers.
struct WebCount {
  std::string camera;
  std::string label;
  uint64_t count = 0;
};

// The counters behind /metrics, kept by the core (and the driver for the server's own count).
struct WebMetrics {
  std::vector<WebCount> deliveries;  // deliveries that got through, by camera and rung
  std::vector<WebCount> failures;    // rungs that failed, by camera and rung
  std::vector<WebCount> answers;     // camera answers, by camera and kind
  uint64_t sessionLosses = 0;        // switcher sessions gone silent
  uint64_t reopens = 0;              // the switcher's requests to open again
  uint64_t foreignDatagrams = 0;
  uint64_t skippedPackets = 0;
  uint64_t tallyServerClients = 0;  // connected now
  uint64_t tslReceivers = 0;        // TSL receivers connected now
  uint64_t webClients = 0;          // event streams open now (webServerClients)
  WebHistogram latency;
};

// The /api/status document described above.
std::string webStatusJson(const WebView& view);

// The /metrics text in Prometheus' text exposition format (0.0.4): every metric named
// quorvel_..., with its HELP and TYPE lines; label values escaped (\\, \", \n) and made valid
// UTF-8. Besides `metrics`, each camera's lamp (0 OFF, 1 PREVIEW, 2 PROGRAM) and whether the
// switcher is connected come from `view`. One WebCount per camera and label: a repeated pair would
// be a repeated series, which scrapers refuse.
std::string webMetricsText(const WebView& view, const WebMetrics& metrics);

// One server-sent event carrying `json`: "data: <json>\n\n". Should the text hold line breaks
// anyway, each line gets its own "data: " field, which the browser joins back with "\n".
std::string webEvent(const std::string& json);

// The event the server sends every kWebPing while streams are open, so that a page's watchdog
// hears a live connection (a comment line would never reach the script). Its data is not JSON.
inline constexpr char kWebPingEvent[] = "event: ping\ndata: ping\n\n";

// The pages. The overview, for "/": the switcher and every row, live from /events.
std::string webOverviewPage();
// One camera full screen, for "/tally/<name>": the page's colour is its lamp.
std::string webTallyPage(const std::string& name);
// The cameras as links to their tally pages, for a name that is none of them (`asked`, shown
// back; empty for none).
std::string webCameraListPage(const std::vector<std::string>& names, const std::string& asked);
