// The status server on libmicrohttpd: routing, the headers every answer carries, and the event
// streams, each a callback response that hands out its client's queued events and suspends its
// connection when the queue runs dry; a publish queues one shared event on each and resumes them.
#include "link/web_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "web/web_view.h"

namespace {

// The pages' own inline style and script, their event stream and status, and data: for the
// empty favicon; nothing else, from nowhere else, and never inside a frame.
constexpr char kSecurityPolicy[] =
    "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
    "connect-src 'self'; img-src 'self' data:; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

constexpr char kHtml[] = "text/html; charset=utf-8";
constexpr char kJson[] = "application/json; charset=utf-8";
constexpr char kText[] = "text/plain; charset=utf-8";
constexpr char kMetrics[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr char kEventStream[] = "text/event-stream; charset=utf-8";

constexpr size_t kStreamBlock = 4096;  // the most a stream hands libmicrohttpd at once
// Tells the browser to come back 2 s after a dropped stream instead of its default of about 3.
constexpr char kStreamStart[] = "retry: 2000\n";

// Marks a request that has had its answer queued.
int gAnswered;

void addHeaders(const MhdApi& mhd, MHD_Response* r, const char* type) {
  mhd.add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  mhd.add_response_header(r, "Content-Security-Policy", kSecurityPolicy);
  mhd.add_response_header(r, "X-Content-Type-Options", "nosniff");
  mhd.add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  mhd.add_response_header(r, "Referrer-Policy", "no-referrer");
}

MHD_Result answer(const MhdApi& mhd, MHD_Connection* c, unsigned status, const std::string& body,
                  const char* type, bool methodNotAllowed = false) {
  MHD_Response* r = mhd.create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                    MHD_RESPMEM_MUST_COPY);
  if (!r) return MHD_NO;
  addHeaders(mhd, r, type);
  if (methodNotAllowed) mhd.add_response_header(r, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  const MHD_Result queued = mhd.queue_response(c, status, r);
  mhd.destroy_response(r);
  return queued;
}

// libmicrohttpd takes a resumed connection back only inside MHD_run, and its epoll descriptor
// need not turn readable for it (the socket was writable all along: no new edge), so the server
// asks to be run at once.
void resume(WebClient& c) {
  if (!c.suspended) return;
  c.suspended = false;
  c.server->runNow = true;
  c.server->mhd.resume_connection(c.connection);
}

// Closes a stream whatever state it is in: a connection blocked on a full socket would never
// ask for more bytes, so its socket is shut down, which libmicrohttpd sees as the end of it; a
// suspended one is resumed so that it is looked at, and its reader ends it.
void drop(WebServer& s, WebClient& c) {
  if (c.dropped) return;
  c.dropped = true;
  c.events.clear();
  c.unsentBytes = 0;
  ++s.droppedClients;
  const MHD_ConnectionInfo* info =
      s.mhd.get_connection_info(c.connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (info) ::shutdown(info->connect_fd, SHUT_RDWR);
  resume(c);
}

void queue(WebServer& s, WebClient& c, const WebEvent& event) {
  if (c.dropped) return;
  if (c.unsentBytes + event->size() > kWebMaxUnsent) return drop(s, c);
  c.events.push_back(event);
  c.unsentBytes += event->size();
  resume(c);
}

ssize_t readStream(void* cls, uint64_t, char* buf, size_t max) {
  WebClient& c = *static_cast<WebClient*>(cls);
  if (c.dropped) return MHD_CONTENT_READER_END_WITH_ERROR;
  if (c.events.empty()) {
    // Nothing to say: out of libmicrohttpd's sight until a publish or a ping resumes it.
    c.suspended = true;
    c.server->mhd.suspend_connection(c.connection);
    return 0;
  }
  size_t n = 0;
  while (n < max && !c.events.empty()) {
    const std::string& e = *c.events.front();
    const size_t part = std::min(max - n, e.size() - c.offset);
    std::memcpy(buf + n, e.data() + c.offset, part);
    n += part;
    c.offset += part;
    if (c.offset == e.size()) {
      c.events.pop_front();
      c.offset = 0;
    }
  }
  c.unsentBytes -= n;
  return static_cast<ssize_t>(n);
}

// libmicrohttpd is done with the stream's connection.
void freeStream(void* cls) {
  auto* gone = static_cast<WebClient*>(cls);
  WebServer& s = *gone->server;
  s.clients.remove_if([gone](const WebClient& c) { return &c == gone; });
  if (s.clients.empty()) s.nextPingNs = INT64_MAX;
}

MHD_Result startStream(WebServer& s, MHD_Connection* conn) {
  s.clients.emplace_back();
  WebClient& c = s.clients.back();
  c.server = &s;
  c.connection = conn;
  c.events.push_back(
      std::make_shared<const std::string>(kStreamStart + webEvent(s.source.status())));
  c.unsentBytes = c.events.back()->size();
  MHD_Response* r = s.mhd.create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamBlock, readStream,
                                                        &c, freeStream);
  if (!r) {
    s.clients.pop_back();
    return MHD_NO;
  }
  addHeaders(s.mhd, r, kEventStream);
  if (s.nextPingNs == INT64_MAX) s.nextPingNs = s.nowNs + kWebPingNs;
  const MHD_Result queued = s.mhd.queue_response(conn, MHD_HTTP_OK, r);
  s.mhd.destroy_response(r);  // unqueued, this ends the client through freeStream
  return queued;
}

// libmicrohttpd's own time-out counts from the last byte received, so a client that dribbles a
// request a byte at a time would hold its connection for ever. Each connection is kept here
// while it owes a request: from when it opened, or from its last answer on a kept connection.
void onConnection(void* cls, MHD_Connection* conn, void** context,
                  MHD_ConnectionNotificationCode code) {
  WebServer& s = *static_cast<WebServer*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    s.waiting.push_back({conn, s.nowNs, true});
    *context = &s.waiting.back();
  } else {
    auto* gone = static_cast<WebWaiting*>(*context);
    s.waiting.remove_if([gone](const WebWaiting& w) { return &w == gone; });
  }
}

void onCompleted(void* cls, MHD_Connection* conn, void**, MHD_RequestTerminationCode) {
  WebServer& s = *static_cast<WebServer*>(cls);
  const MHD_ConnectionInfo* info =
      s.mhd.get_connection_info(conn, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  if (!info || !info->socket_context) return;
  auto* w = static_cast<WebWaiting*>(info->socket_context);
  w->owing = true;  // the next request, from now
  w->sinceNs = s.nowNs;
}

// Past kWebMaxConnections a new connection is closed at once, unanswered, rather than left in
// the listen queue (where libmicrohttpd's own limit would keep it, the client none the wiser).
MHD_Result admit(void* cls, const sockaddr*, socklen_t) {
  const WebServer& s = *static_cast<const WebServer*>(cls);
  return s.waiting.size() < kWebMaxConnections ? MHD_YES : MHD_NO;
}

MHD_Result onRequest(void* cls, MHD_Connection* conn, const char* url, const char* method,
                     const char*, const char*, size_t* uploadSize, void** request) {
  WebServer& s = *static_cast<WebServer*>(cls);
  if (*request == &gAnswered) {  // the body of a request already answered: ignored
    *uploadSize = 0;
    return MHD_YES;
  }
  *request = &gAnswered;
  // The request's head is in: the connection owes nothing until its answer is done.
  const MHD_ConnectionInfo* info =
      s.mhd.get_connection_info(conn, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  if (info && info->socket_context) static_cast<WebWaiting*>(info->socket_context)->owing = false;
  const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
  if (!head && std::strcmp(method, MHD_HTTP_METHOD_GET) != 0)
    return answer(s.mhd, conn, MHD_HTTP_METHOD_NOT_ALLOWED, "Only GET and HEAD are served here.\n",
                  kText, true);
  // `url` is the path, query removed and %-escapes decoded; it is compared as it is, so that
  // "/%2e%2e/x" is the path "/../x", which is simply no route.
  const std::string path = url;
  if (path == "/") return answer(s.mhd, conn, MHD_HTTP_OK, webOverviewPage(), kHtml);
  if (path == "/api/status") return answer(s.mhd, conn, MHD_HTTP_OK, s.source.status(), kJson);
  if (path == "/metrics") return answer(s.mhd, conn, MHD_HTTP_OK, s.source.metrics(), kMetrics);
  if (path == "/events") {
    if (head) return answer(s.mhd, conn, MHD_HTTP_OK, "", kEventStream);
    return startStream(s, conn);
  }
  static const std::string kTally = "/tally/";
  if (path.compare(0, kTally.size(), kTally) == 0) {
    const std::string name = path.substr(kTally.size());
    const std::vector<std::string> names = s.source.cameras();
    if (std::find(names.begin(), names.end(), name) != names.end())
      return answer(s.mhd, conn, MHD_HTTP_OK, webTallyPage(name), kHtml);
    return answer(s.mhd, conn, name.empty() ? MHD_HTTP_OK : MHD_HTTP_NOT_FOUND,
                  webCameraListPage(names, name), kHtml);
  }
  return answer(s.mhd, conn, MHD_HTTP_NOT_FOUND, "Not found.\n", kText);
}

}  // namespace

bool webServerStart(WebServer& s, uint32_t address, uint16_t port, WebSource source,
                    std::string& error) {
  if (!mhdLoad(s.mhd, error)) return false;
  // The listener is made here rather than by libmicrohttpd, so that a failure has its reason.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return error = std::string("socket(): ") + std::strerror(errno), false;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);  // a restart finds it free
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = address;
  a.sin_port = htons(port);
  const char* call = nullptr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    call = "bind(): ";
  else if (::listen(fd, static_cast<int>(kWebMaxConnections)) != 0)
    call = "listen(): ";
  socklen_t len = sizeof a;
  if (!call && ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    call = "getsockname(): ";
  if (call) {
    error = call + std::string(std::strerror(errno));
    ::close(fd);
    return false;
  }
  s.port = ntohs(a.sin_port);
  s.source = std::move(source);
  s.clients.clear();
  s.waiting.clear();
  s.nextPingNs = INT64_MAX;
  // No MHD_USE_ERROR_LOG: like every lower layer this one writes nothing. No per-address limit.
  s.daemon = s.mhd.start_daemon(
      MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, admit, &s, onRequest, &s,
      MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, 2 * kWebMaxConnections,
      MHD_OPTION_CONNECTION_TIMEOUT, kWebIdleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      kWebConnectionMemory, MHD_OPTION_NOTIFY_CONNECTION, onConnection, &s,
      MHD_OPTION_NOTIFY_COMPLETED, onCompleted, &s, MHD_OPTION_END);
  if (!s.daemon) {
    ::close(fd);
    return error = "libmicrohttpd did not start", false;
  }
  // From here on the daemon owns the listener and closes it when it stops.
  const MHD_DaemonInfo* info = s.mhd.get_daemon_info(s.daemon, MHD_DAEMON_INFO_EPOLL_FD);
  s.epollFd = info ? info->epoll_fd : -1;
  if (s.epollFd < 0) {
    webServerStop(s);
    return error = "libmicrohttpd has no epoll descriptor", false;
  }
  return true;
}

void webServerStop(WebServer& s) {
  if (s.daemon) {
    // libmicrohttpd must not stop with suspended connections: each is resumed, to end.
    for (WebClient& c : s.clients) {
      c.dropped = true;
      resume(c);
    }
    s.mhd.stop_daemon(s.daemon);  // frees every stream (freeStream)
  }
  s.daemon = nullptr;
  s.epollFd = -1;
  s.clients.clear();
  s.waiting.clear();
  s.nextPingNs = INT64_MAX;
  s.runNow = false;
}

int webServerFd(const WebServer& s) {
  return s.epollFd;
}

void webServerRun(WebServer& s, int64_t now) {
  s.nowNs = now;
  if (!s.clients.empty() && now >= s.nextPingNs) {
    static const WebEvent ping = std::make_shared<const std::string>(kWebPingEvent);
    for (WebClient& c : s.clients) queue(s, c, ping);
    s.nextPingNs = now + kWebPingNs;
  }
  for (WebWaiting& w : s.waiting) {
    if (!w.owing || now - w.sinceNs < kWebRequestNs) continue;
    w.owing = false;  // shut once; libmicrohttpd closes it on its next look
    const MHD_ConnectionInfo* info =
        s.mhd.get_connection_info(w.connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info) ::shutdown(info->connect_fd, SHUT_RDWR);
  }
  s.runNow = false;
  s.mhd.run(s.daemon);
}

int64_t webServerDeadline(const WebServer& s, int64_t now) {
  if (s.runNow) return now;
  int64_t due = s.clients.empty() ? INT64_MAX : s.nextPingNs;
  for (const WebWaiting& w : s.waiting)
    if (w.owing) due = std::min(due, w.sinceNs + kWebRequestNs);
  MHD_UNSIGNED_LONG_LONG ms = 0;
  if (s.daemon && s.mhd.get_timeout(s.daemon, &ms) == MHD_YES) {
    const MHD_UNSIGNED_LONG_LONG capped = std::min<MHD_UNSIGNED_LONG_LONG>(ms, 86'400'000);
    due = std::min(due, now + static_cast<int64_t>(capped) * kNsPerMs);
  }
  return due;
}

void webServerPublish(WebServer& s, const std::string& json) {
  // One copy of the event, however many streams wait for it.
  const WebEvent event = std::make_shared<const std::string>(webEvent(json));
  for (WebClient& c : s.clients) queue(s, c, event);
}

size_t webServerClients(const WebServer& s) {
  return static_cast<size_t>(std::count_if(s.clients.begin(), s.clients.end(),
                                           [](const WebClient& c) { return !c.dropped; }));
}
