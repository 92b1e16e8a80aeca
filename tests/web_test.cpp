// The live status page: the JSON and Prometheus text byte for byte where the bytes matter, the
// pages' escaping, and the server over real loopback sockets, its loop run in this thread by
// polling its descriptor while non-blocking clients make their requests.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "base/clock.h"
#include "config/json.h"
#include "link/web_server.h"
#include "web/web_view.h"

namespace {

constexpr char kIp[] = "127.0.9.41";
const std::string kFffd = "\xef\xbf\xbd";

// Well-formed UTF-8, checked by decoding (not by the byte ranges the code under test uses).
bool validUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = s[i];
    const int n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (int k = 1; k < n; ++k) {
      const unsigned char b = s[i + k];
      if ((b >> 6) != 2) return false;
      cp = cp << 6 | (b & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

TEST(WebJson, HostileTextStaysValidJsonAndUtf8) {
  struct Case {
    std::string in, out;  // `out`: the JSON string literal
  } cases[] = {
      {"<script>alert(1)</script>", "\"<script>alert(1)</script>\""},
      {"say \"hi\" \\ ok", "\"say \\\"hi\\\" \\\\ ok\""},
      {std::string("a\0b\x01\x1f\n\t\r\x7f", 9), "\"a\\u0000b\\u0001\\u001f\\n\\t\\r\x7f\""},
      {"caf\xc3\xa9 \xf0\x9f\x8e\xa5 \xe2\x82\xac",
       "\"caf\xc3\xa9 \xf0\x9f\x8e\xa5 \xe2\x82\xac\""},
      {"\xc3", "\"" + kFffd + "\""},                          // cut short at the end
      {"\xe2\x82x", "\"" + kFffd + "x\""},                    // cut short: one U+FFFD for both
      {"\xc0\xaf", "\"" + kFffd + kFffd + "\""},              // overlong '/'
      {"\xe0\x80\xaf", "\"" + kFffd + kFffd + kFffd + "\""},  // overlong, three bytes
      {"\xed\xa0\x80", "\"" + kFffd + kFffd + kFffd + "\""},  // a surrogate
      {"\xf4\x90\x80\x80", "\"" + kFffd + kFffd + kFffd + kFffd + "\""},  // past U+10FFFF
      {"\x80\xf5\xff", "\"" + kFffd + kFffd + kFffd + "\""},
      {"Latin-1 \xe9t\xe9", "\"Latin-1 " + kFffd + "t" + kFffd + "\""},
  };
  for (const Case& c : cases) {
    WebView v;
    v.switcher.address = c.in;
    v.rows.push_back({});
    v.rows[0].name = v.rows[0].sourceName = v.rows[0].answers = c.in;
    const std::string json = webStatusJson(v);
    EXPECT_NE(json.find("{\"name\":" + c.out + ","), std::string::npos) << json;
    EXPECT_NE(json.find("\"address\":" + c.out + ","), std::string::npos) << json;
    EXPECT_TRUE(validUtf8(json)) << json;
    EXPECT_EQ(json.find_first_of(std::string("\0\n\r", 3)), std::string::npos) << json;
    JsonValue doc;
    JsonFailure failure;
    JsonSyntax syntax;
    ASSERT_TRUE(parseJson(json, doc, failure, &syntax)) << json;
    EXPECT_TRUE(syntax.valid) << syntax.what << " at " << syntax.offset << " in " << json;
    if (validUtf8(c.in)) {
      EXPECT_EQ(doc["rows"].arr.at(0)["sourceName"].str, c.in);
    }
  }
}

TEST(WebJson, DocumentShape) {
  WebView v;
  v.nowNs = 10'000'000'000;
  v.switcher = {"192.0.2.10", "connected", 32769, 3'999'500'000, 4, 2};
  v.rows.push_back({"wide", true, "VISCA", "192.0.2.21:52381", 1, "Camera 1", WebLamp::PROGRAM,
                    9'998'000'001, "UDP", "ack", 0});
  v.rows.push_back(
      {"tsl", false, "TSL 5.0", "192.0.2.50:8900", -1, "", WebLamp::OFF, 0, "", "", 3});
  EXPECT_EQ(
      webStatusJson(v),
      "{\"switcher\":{\"address\":\"192.0.2.10\",\"state\":\"connected\",\"session\":32769,"
      "\"connectedForMs\":6000,\"foreignDropped\":4,\"skipped\":2},\"rows\":["
      "{\"name\":\"wide\",\"camera\":true,\"kind\":\"VISCA\",\"address\":\"192.0.2.21:52381\","
      "\"source\":1,\"sourceName\":\"Camera 1\",\"lamp\":\"PROGRAM\",\"lastDeliveryAgoMs\":1,"
      "\"outcome\":\"UDP\",\"answers\":\"ack\",\"failures\":0},"
      "{\"name\":\"tsl\",\"camera\":false,\"kind\":\"TSL 5.0\",\"address\":\"192.0.2.50:8900\","
      "\"source\":null,\"sourceName\":\"\",\"lamp\":\"OFF\",\"lastDeliveryAgoMs\":null,"
      "\"outcome\":\"\",\"answers\":\"\",\"failures\":3}]}");
}

TEST(WebEvent, Framing) {
  const std::pair<std::string, std::string> cases[] = {
      {"{\"a\":1}", "data: {\"a\":1}\n\n"},
      {"", "data: \n\n"},
      {"a\nb", "data: a\ndata: b\n\n"},
      {"a\r\nb\rc\n", "data: a\ndata: b\ndata: c\ndata: \n\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(webEvent(c.first), c.second);
}

// Boundaries belong to their bucket (le), the buckets are cumulative, +Inf counts everything,
// and the sum is exact seconds.
TEST(WebMetrics, LatencyHistogram) {
  WebMetrics m;
  for (int64_t ns : {int64_t{0}, int64_t{10'000}, int64_t{-5}, int64_t{10'001},
                     int64_t{100'000'000}, int64_t{100'000'001}})
    webObserve(m.latency, ns);
  const std::string text = webMetricsText(WebView(), m);
  const std::string h = "quorvel_tally_latency_seconds";
  std::string want = "# TYPE " + h + " histogram\n";
  const char* bounds[] = {"0.00001", "0.000025", "0.00005", "0.0001", "0.00025", "0.0005", "0.001",
                          "0.0025",  "0.005",    "0.01",    "0.025",  "0.05",    "0.1",    "+Inf"};
  const int cumulative[] = {3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 6};
  for (int i = 0; i < 14; ++i)
    want += h + "_bucket{le=\"" + bounds[i] + "\"} " + std::to_string(cumulative[i]) + "\n";
  want += h + "_sum 0.200020002\n" + h + "_count 6\n";
  ASSERT_GE(text.size(), want.size());
  EXPECT_EQ(text.substr(text.size() - want.size()), want);
}

WebMetrics sampleMetrics() {
  WebMetrics m;
  m.deliveries = {{"wide", "UDP", 12}, {"a\"b\\c\nd", "TCP", 1}, {"\xe9t\xe9", "HTTP", 2}};
  m.failures = {{"wide", "UDP", 3}};
  m.answers = {{"wide", "ack", 7}, {"wide", "error", 1}};
  m.sessionLosses = 2;
  m.tslReceivers = 1;
  webObserve(m.latency, 120'000);
  return m;
}

TEST(WebMetrics, LabelsEscapedAndEveryFamilyTyped) {
  WebView v;
  v.switcher.state = "connected";
  v.rows.push_back({"wide", true, "VISCA", "", 1, "", WebLamp::PREVIEW, 0, "", "", 0});
  v.rows.push_back({"tsl", false, "TSL 5.0", "", -1, "", WebLamp::PROGRAM, 0, "", "", 0});
  const std::string text = webMetricsText(v, sampleMetrics());
  EXPECT_TRUE(validUtf8(text));
  const std::set<std::string> want = {
      "quorvel_switcher_connected 1",
      "quorvel_switcher_session_losses_total 2",
      "quorvel_camera_lamp{camera=\"wide\"} 1",
      "quorvel_deliveries_total{camera=\"wide\",via=\"UDP\"} 12",
      "quorvel_deliveries_total{camera=\"a\\\"b\\\\c\\nd\",via=\"TCP\"} 1",
      "quorvel_deliveries_total{camera=\"" + kFffd + "t" + kFffd + "\",via=\"HTTP\"} 2",
      "quorvel_delivery_failures_total{camera=\"wide\",via=\"UDP\"} 3",
      "quorvel_camera_answers_total{camera=\"wide\",kind=\"error\"} 1",
      "quorvel_tsl_receivers_connected 1",
  };
  ASSERT_EQ(text.back(), '\n');
  // Every sample follows the TYPE line of its own family, and each family is typed once.
  std::set<std::string> typed, seen;
  std::string family;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    seen.insert(l);
    EXPECT_EQ(l.find("camera=\"tsl\""), std::string::npos) << "outputs have no lamp gauge";
    if (l.rfind("# TYPE quorvel_", 0) == 0) {
      family = l.substr(7, l.find(' ', 7) - 7);
      EXPECT_TRUE(typed.insert(family).second) << l;
    } else if (l[0] != '#') {
      EXPECT_EQ(l.compare(0, family.size(), family), 0) << "not of the family above: " << l;
    }
  }
  for (const std::string& w : want) EXPECT_TRUE(seen.count(w)) << w << "\nin\n" << text;
}

// Prometheus' own checker, when the machine has it (Debian package "prometheus").
TEST(WebMetrics, PromtoolAccepts) {
  if (std::system("command -v promtool >/dev/null 2>&1") != 0) GTEST_SKIP() << "no promtool";
  char path[] = "/tmp/quorvel-metrics-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  WebView v;
  v.rows.push_back({"wide", true, "VISCA", "", 1, "", WebLamp::PROGRAM, 0, "", "", 0});
  const std::string text = webMetricsText(v, sampleMetrics());
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  const int status = std::system(("promtool check metrics < " + std::string(path)).c_str());
  unlink(path);
  EXPECT_EQ(status, 0) << text;
}

// The five entities the pages write, read left to right once (so "&amp;lt;" is "&lt;").
std::string htmlUnescaped(const std::string& s) {
  const std::map<std::string, char> entities = {
      {"&quot;", '"'}, {"&#39;", '\''}, {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}};
  std::string out;
  for (size_t at = 0, end; at < s.size(); at = end) {
    end = s[at] == '&' ? s.find(';', at) + 1 : at + 1;
    out += s[at] == '&' ? entities.at(s.substr(at, end - at)) : s[at];
  }
  return out;
}

// A name full of markup reaches the tally page's script intact but never as markup.
TEST(WebPages, NamesEscapedAndPassedIntact) {
  const std::string name = "\"><script>alert('x')</script>&amp;\xe9";
  const std::string page = webTallyPage(name);
  EXPECT_EQ(page.find("<script>alert"), std::string::npos);
  EXPECT_NE(page.find("<div id=\"name\">&quot;&gt;&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"
                      "&amp;amp;" +
                      kFffd + "</div>"),
            std::string::npos);
  const std::string key = "data-camera=\"";
  const size_t at = page.find(key) + key.size();
  ASSERT_NE(at, std::string::npos + key.size());
  const std::string attr = page.substr(at, page.find('"', at) - at);
  EXPECT_EQ(parseJson(htmlUnescaped(attr)).str, "\"><script>alert('x')</script>&amp;" + kFffd);

  const std::string list = webCameraListPage({"a b", "x/y", "<i>"}, "<b>");
  for (const char* want : {"href=\"/tally/a%20b\"", "href=\"/tally/x%2Fy\"",
                           "href=\"/tally/%3Ci%3E\"", ">&lt;i&gt;</a>", "&lt;b&gt;"})
    EXPECT_NE(list.find(want), std::string::npos) << want;
  EXPECT_EQ(list.find("<i>"), std::string::npos);
}

// Nothing is fetched from elsewhere, and data never goes in as markup.
TEST(WebPages, SelfContained) {
  for (const std::string& page :
       {webOverviewPage(), webTallyPage("wide"), webCameraListPage({"wide"}, "")}) {
    EXPECT_TRUE(validUtf8(page));
    for (const char* banned : {"src=", "://", "@import", "url(", "innerHTML", "outerHTML",
                               "document.write", "<iframe", "@font-face"})
      EXPECT_EQ(page.find(banned), std::string::npos) << banned;
  }
  EXPECT_NE(webTallyPage("wide").find("wakeLock"), std::string::npos);
  EXPECT_NE(webOverviewPage().find("new EventSource('/events')"), std::string::npos);
}

// ---- The server over loopback ---------------------------------------------------------------

// A non-blocking client: io() sends what is pending once connected and reads what came.
struct Client {
  int fd = -1;
  std::string pending, got;
  bool closed = false;
  bool reading = true;  // false: a client that stops reading
  Client(uint16_t port, const std::string& request, int receiveBuffer) : pending(request) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (receiveBuffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, kIp, &a.sin_addr);
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);  // EINPROGRESS
  }
  ~Client() { close(fd); }
  Client(const Client&) = delete;
  void hangUp() {  // the destructor's close then closes a fresh, harmless socket
    close(fd);
    fd = socket(AF_INET, SOCK_STREAM, 0);
  }
  void io() {
    if (!pending.empty()) {
      ssize_t n = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL);
      if (n > 0) pending.erase(0, static_cast<size_t>(n));
    }
    if (!reading) return;
    char buf[65536];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<size_t>(n));
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN &&
                   errno != EINPROGRESS))
      closed = true;
  }
};

struct Response {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;                            // de-chunked as far as it is complete
};

Response parse(const std::string& raw) {
  Response r;
  const size_t end = raw.find("\r\n\r\n");
  if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) return r;
  r.status = std::atoi(raw.c_str() + 9);
  for (size_t at = raw.find("\r\n") + 2; at < end;) {
    const size_t eol = raw.find("\r\n", at), colon = raw.find(':', at);
    std::string name = raw.substr(at, colon - at);
    for (char& ch : name) ch = static_cast<char>(tolower(ch));
    r.headers[name] = raw.substr(colon + 2, eol - colon - 2);
    at = eol + 2;
  }
  std::string body = raw.substr(end + 4);
  if (r.headers["transfer-encoding"] != "chunked") {
    r.body = body;
    return r;
  }
  for (size_t at = 0;;) {
    const size_t eol = body.find("\r\n", at);
    if (eol == std::string::npos) break;
    const size_t size = std::strtoul(body.c_str() + at, nullptr, 16);
    if (size == 0 || eol + 2 + size + 2 > body.size()) break;
    r.body += body.substr(eol + 2, size);
    at = eol + 2 + size + 2;
  }
  return r;
}

const std::string kStatus = "{\"switcher\":{\"state\":\"connected\"},\"rows\":[]}";

struct Rig {
  WebServer server;
  std::string status = kStatus;
  int64_t now = 1'000 * kNsPerMs;
  std::vector<std::unique_ptr<Client>> clients;

  Rig() {
    WebSource source{[this] { return status; }, [] { return std::string("quorvel_up 1\n"); },
                     [] {
                       return std::vector<std::string>{"wide", "x/y", "caf\xc3\xa9 1"};
                     }};
    std::string error;
    EXPECT_TRUE(webServerStart(server, inet_addr(kIp), 0, source, error)) << error;
  }
  ~Rig() { webServerStop(server); }
  Client& connect(const std::string& request, int receiveBuffer = 0) {
    clients.push_back(std::make_unique<Client>(server.port, request, receiveBuffer));
    return *clients.back();
  }
  // Runs the server and the clients until `done` holds: false if it never did within a bound
  // generous enough for a loaded machine (a bound, not a timing goal).
  bool until(const std::function<bool()>& done, int64_t boundMs = 10'000) {
    const int64_t end = monotonicNs() + boundMs * kNsPerMs;
    while (true) {
      // As the bridge's loop drives it: only when its descriptor is readable or it is due.
      pollfd p{webServerFd(server), POLLIN, 0};
      poll(&p, 1, 1);
      if (p.revents || webServerDeadline(server, now) <= now) webServerRun(server, now);
      for (auto& c : clients) c->io();
      if (done()) return true;
      if (monotonicNs() > end) return false;
    }
  }
  Response exchange(const std::string& request) {
    Client& c = connect(request);
    EXPECT_TRUE(until([&c] { return c.closed; })) << request;
    return parse(c.got);
  }
};

std::string get(const std::string& target, const std::string& method = "GET",
                const std::string& extra = "") {
  return method + " " + target + " HTTP/1.1\r\nHost: q\r\nConnection: close\r\n" + extra + "\r\n";
}

const char kPolicy[] =
    "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
    "connect-src 'self'; img-src 'self' data:; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

TEST(WebServer, RoutesMethodsAndHeaders) {
  Rig rig;
  const char* html = "text/html; charset=utf-8";
  const char* text = "text/plain; charset=utf-8";
  struct Case {
    std::string request;
    int status;
    const char* type;
    std::string body;  // contained in the body; "" for an empty one
  } cases[] = {
      {get("/"), 200, html, "id=\"rows-body\""},
      {get("/", "HEAD"), 200, html, ""},
      {get("/api/status"), 200, "application/json; charset=utf-8", kStatus},
      {get("/metrics"), 200, "text/plain; version=0.0.4; charset=utf-8", "quorvel_up 1\n"},
      {get("/events", "HEAD"), 200, "text/event-stream; charset=utf-8", ""},
      {get("/tally/wide"), 200, html, "data-camera=\"&quot;wide&quot;\""},
      {get("/tally/x%2Fy"), 200, html, "data-camera=\"&quot;x/y&quot;\""},
      {get("/tally/caf%C3%A9%201"), 200, html, "<div id=\"name\">caf\xc3\xa9 1</div>"},
      {get("/tally/Wide"), 404, html, "href=\"/tally/caf%C3%A9%201\""},
      {get("/tally/"), 200, html, "href=\"/tally/x%2Fy\""},
      {get("/tally"), 404, text, "Not found"},
      {get("/%2e%2e/etc/passwd"), 404, text, "Not found"},
      {get("/../etc/passwd"), 404, text, "Not found"},
      {get("/index.html"), 404, text, "Not found"},
      {get("/", "POST", "Content-Length: 5\r\n") + "a=b&c", 405, text, "GET and HEAD"},
      {get("/api/status", "PUT"), 405, text, "GET and HEAD"},
      {get("/events", "DELETE"), 405, text, "GET and HEAD"},
  };
  for (const Case& c : cases) {
    Response r = rig.exchange(c.request);
    EXPECT_EQ(r.status, c.status) << c.request;
    EXPECT_EQ(r.headers["content-type"], c.type) << c.request;
    EXPECT_EQ(r.headers["content-security-policy"], kPolicy) << c.request;
    EXPECT_EQ(r.headers["x-content-type-options"], "nosniff") << c.request;
    EXPECT_EQ(r.headers["cache-control"], "no-store") << c.request;
    if (c.status == 405) {
      EXPECT_EQ(r.headers["allow"], "GET, HEAD") << c.request;
    }
    if (c.body.empty())
      EXPECT_EQ(r.body, "") << c.request;
    else
      EXPECT_NE(r.body.find(c.body), std::string::npos) << c.request << r.body.substr(0, 300);
  }
  EXPECT_EQ(webServerClients(rig.server), 0u);
}

TEST(WebServer, AddressInUse) {
  Rig rig;
  WebServer second;
  std::string error;
  EXPECT_FALSE(webServerStart(second, inet_addr(kIp), rig.server.port, {}, error));
  EXPECT_EQ(error, "bind(): Address already in use");
}

const std::string kStream = "GET /events HTTP/1.1\r\nHost: q\r\nAccept: text/event-stream\r\n\r\n";

// The state at once, then each publish and, while the stream is open, the ping; a client that
// went away is noticed at the next write.
TEST(WebServer, EventsStream) {
  Rig rig;
  Client& c = rig.connect(kStream);
  const std::string first = "retry: 2000\ndata: " + kStatus + "\n\n";
  ASSERT_TRUE(rig.until([&] { return parse(c.got).body == first; })) << c.got;
  Response r = parse(c.got);
  EXPECT_EQ(r.headers["content-type"], "text/event-stream; charset=utf-8");
  EXPECT_EQ(r.headers["content-security-policy"], kPolicy);
  EXPECT_EQ(r.headers["cache-control"], "no-store");
  EXPECT_EQ(webServerClients(rig.server), 1u);
  EXPECT_EQ(webServerDeadline(rig.server, rig.now), rig.now + kWebPingNs)
      << "idle: only the ping is due";

  webServerPublish(rig.server, "{\"n\":2}");
  webServerPublish(rig.server, "{\"n\":3}");
  const std::string two = first + "data: {\"n\":2}\n\ndata: {\"n\":3}\n\n";
  EXPECT_TRUE(rig.until([&] { return parse(c.got).body == two; })) << c.got;

  rig.now += kWebPingNs;
  EXPECT_TRUE(rig.until([&] { return parse(c.got).body == two + kWebPingEvent; })) << c.got;

  c.hangUp();
  EXPECT_TRUE(rig.until([&] {
    webServerPublish(rig.server, "{}");
    return webServerClients(rig.server) == 0;
  }));
  EXPECT_EQ(rig.server.clients.size(), 0u);
  EXPECT_EQ(webServerDeadline(rig.server, rig.now), INT64_MAX) << "no stream, no ping";
}

// 64 connections at most: with 64 streams open the next client is closed at once, unanswered.
TEST(WebServer, ConnectionLimit) {
  Rig rig;
  std::vector<Client*> streams;
  for (unsigned i = 0; i < kWebMaxConnections; ++i) streams.push_back(&rig.connect(kStream));
  ASSERT_TRUE(rig.until([&] {
    for (Client* s : streams)
      if (parse(s->got).body.find("data: ") == std::string::npos) return false;
    return true;
  }));
  EXPECT_EQ(webServerClients(rig.server), kWebMaxConnections);
  // The 65th is closed at once, unanswered.
  Client& late = rig.connect(get("/api/status"));
  EXPECT_TRUE(rig.until([&] { return late.closed; }, 2'000));
  EXPECT_EQ(parse(late.got).status, 0) << late.got;
  EXPECT_EQ(webServerClients(rig.server), kWebMaxConnections);
  // One stream goes (noticed at the next write): the next client is served.
  streams[0]->hangUp();
  EXPECT_TRUE(rig.until([&] {
    webServerPublish(rig.server, "{}");
    return webServerClients(rig.server) == kWebMaxConnections - 1;
  }));
  EXPECT_EQ(rig.exchange(get("/api/status")).status, 200);
}

TEST(WebServer, HeaderSizeBounded) {
  Rig rig;
  Response fits =
      rig.exchange(get("/api/status", "GET", "Cookie: " + std::string(4000, 'c') + "\r\n"));
  EXPECT_EQ(fits.status, 200);
  Client& big =
      rig.connect(get("/api/status", "GET", "X-Big: " + std::string(20000, 'b') + "\r\n"));
  EXPECT_TRUE(rig.until([&] { return big.closed; }));
  const int status = parse(big.got).status;
  EXPECT_TRUE(status == 0 || status == 431) << big.got.substr(0, 200);
}

// Ten thousand connection attempts at once, half of them never finishing their request: the
// server takes what its limit allows, and once they are gone answers as before with nothing
// left over.
TEST(WebServer, FloodOfConnections) {
  Rig rig;
  rlimit files;
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = std::min<rlim_t>(files.rlim_max, 12'000);
  if (setrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur < 12'000)
    GTEST_SKIP() << "cannot open 10,000 sockets here";
  for (int i = 0; i < 10'000; ++i) {
    rig.connect(i % 2 ? get("/") : "GET /tally/wide HTTP/1.1\r\n");  // half never finish
    if (i % 500 == 0) rig.until([] { return false; }, 1);
  }
  rig.until([] { return false; }, 300);
  // Every client hangs up. libmicrohttpd does not always notice at once for a connection it
  // took in mid-flood; the 10 s rule ends those.
  rig.clients.clear();
  rig.until([&] { return rig.server.waiting.empty(); }, 1'000);
  rig.now += kWebRequestNs;
  EXPECT_TRUE(rig.until([&] { return rig.server.waiting.empty(); }, 5'000))
      << rig.server.waiting.size() << " connections left";
  EXPECT_EQ(rig.exchange(get("/api/status")).body, kStatus);
}

// A request dribbled a few bytes at a time keeps its connection only until 10 s after it
// opened. The server's clock is the rig's here, so the 10 s pass at once.
TEST(WebServer, RequestsHaveTenSeconds) {
  Rig rig;
  Client& slow = rig.connect("GET /api/status HTTP/1.1\r\nHo");
  ASSERT_TRUE(rig.until([&] { return slow.pending.empty(); }));
  EXPECT_EQ(webServerDeadline(rig.server, rig.now), rig.now + kWebRequestNs);
  rig.now += kWebRequestNs - 1;
  slow.pending = "st: q\r\nX-Dribble: 1";  // progress, but no end of the head
  EXPECT_FALSE(rig.until([&] { return slow.closed; }, 200));
  rig.now += 1;
  EXPECT_TRUE(rig.until([&] { return slow.closed; }, 2'000));
  EXPECT_EQ(parse(slow.got).status, 0) << slow.got;
  EXPECT_EQ(rig.exchange(get("/api/status")).status, 200) << "the next is served as ever";
  EXPECT_EQ(webServerDeadline(rig.server, rig.now), INT64_MAX) << "nothing owed, nothing due";
}

// A stream whose client stops reading is dropped once 64 KiB wait for it, and let go of at once
// although its socket is full; one that reads on stays.
TEST(WebServer, StalledStreamDropped) {
  Rig rig;
  Client& stalled = rig.connect(kStream, 4096);
  Client& reader = rig.connect(kStream);
  ASSERT_TRUE(rig.until([&] {
    return parse(stalled.got).body.find("data: ") != std::string::npos &&
           parse(reader.got).body.find("data: ") != std::string::npos;
  }));
  stalled.reading = false;
  const std::string big = "{\"pad\":\"" + std::string(4000, 'p') + "\"}";
  size_t published = 0;
  int waited = 0;
  // The next event goes once the server has handed on the last, or once it has stopped doing
  // so: the queue grows only when the stalled socket is full.
  EXPECT_TRUE(rig.until(
      [&] {
        bool drained = true;
        for (const WebClient& c : rig.server.clients) drained = drained && c.unsentBytes == 0;
        if (drained || ++waited > 20) {
          webServerPublish(rig.server, big);
          published += big.size();
          waited = 0;
        }
        return rig.server.droppedClients == 1;
      },
      60'000));
  EXPECT_GT(published, kWebMaxUnsent);
  EXPECT_EQ(webServerClients(rig.server), 1u);
  // Let go of without the client's help: well before the 10 s idle time-out would.
  EXPECT_TRUE(rig.until([&] { return rig.server.clients.size() == 1; }, 5'000));
  EXPECT_FALSE(reader.closed);
}

}  // namespace
