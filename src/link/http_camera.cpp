#include "link/http_camera.h"

#include <arpa/inet.h>
#include <sys/epoll.h>

namespace {

int onSocket(CURL*, curl_socket_t fd, int what, void* agent, void*) {
  static_cast<HttpAgent*>(agent)->changes.push_back({static_cast<int>(fd), what});
  return 0;
}

int onTimer(CURLM*, long timeoutMs, void* data) {
  HttpAgent& agent = *static_cast<HttpAgent*>(data);
  agent.deadlineNs = timeoutMs < 0 ? INT64_MAX : agent.nowNs + timeoutMs * 1'000'000;
  return 0;
}

size_t discard(char*, size_t size, size_t count, void*) {
  return size * count;
}

// Starts the camera's request `next` of its state.
bool startRequest(HttpAgent& agent, HttpCamera& c, DeliveryReport& report) {
  const HttpRequest& r = c.config->requests[c.state][c.next];
  agent.curl.easy_setopt(c.easy, CURLOPT_URL, r.url.c_str());
  if (agent.curl.multi_add_handle(agent.multi, c.easy) == CURLM_OK) return true;
  report.failures.push_back({LinkFailure::HTTP, "GET", 0, r.url + " failed: curl refused it"});
  return false;
}

}  // namespace

bool httpAgentOpen(HttpAgent& agent, std::string& error) {
  if (!curlLoad(agent.curl, error)) return false;
  // Plain HTTP only: no TLS library is set up.
  if (agent.curl.global_init(CURL_GLOBAL_NOTHING) != CURLE_OK)
    return error = "curl_global_init", false;
  agent.multi = agent.curl.multi_init();
  if (!agent.multi) return error = "curl_multi_init", false;
  agent.curl.multi_setopt(agent.multi, CURLMOPT_SOCKETFUNCTION, onSocket);
  agent.curl.multi_setopt(agent.multi, CURLMOPT_SOCKETDATA, &agent);
  agent.curl.multi_setopt(agent.multi, CURLMOPT_TIMERFUNCTION, onTimer);
  agent.curl.multi_setopt(agent.multi, CURLMOPT_TIMERDATA, &agent);
  return true;
}

void httpAgentClose(HttpAgent& agent) {
  if (agent.multi) agent.curl.multi_cleanup(agent.multi);
  agent.multi = nullptr;
  if (agent.curl.global_cleanup) agent.curl.global_cleanup();
}

void httpCameraOpen(HttpAgent& agent, HttpCamera& c, const CameraConfig& config) {
  c.config = &config;
  if (!agent.multi) return;  // libcurl could not be set up: every delivery fails
  c.easy = agent.curl.easy_init();
  if (!c.easy) return;
  for (const auto& requests : config.requests)
    for (const HttpRequest& r : requests) {
      char address[INET_ADDRSTRLEN] = "";
      in_addr a;
      a.s_addr = r.address;
      inet_ntop(AF_INET, &a, address, sizeof address);
      const std::string entry = r.host + ":" + std::to_string(r.port) + ":" + address;
      c.resolve = agent.curl.slist_append(c.resolve, entry.c_str());
    }
  agent.curl.easy_setopt(c.easy, CURLOPT_RESOLVE, c.resolve);
  agent.curl.easy_setopt(c.easy, CURLOPT_PRIVATE, &c);
  agent.curl.easy_setopt(c.easy, CURLOPT_PROTOCOLS_STR, "http");
  agent.curl.easy_setopt(c.easy, CURLOPT_FOLLOWLOCATION, 0L);
  agent.curl.easy_setopt(c.easy, CURLOPT_NOSIGNAL, 1L);
  agent.curl.easy_setopt(c.easy, CURLOPT_CONNECTTIMEOUT_MS, kHttpConnectMs);
  agent.curl.easy_setopt(c.easy, CURLOPT_TIMEOUT_MS, kHttpConnectMs + kHttpAnswerMs);
  agent.curl.easy_setopt(c.easy, CURLOPT_WRITEFUNCTION, discard);
  agent.curl.easy_setopt(c.easy, CURLOPT_TCP_NODELAY, 1L);
  const Settings& s = config.settings;
  if (!s.http_user.empty() || !s.http_password.empty()) {
    agent.curl.easy_setopt(c.easy, CURLOPT_HTTPAUTH, CURLAUTH_BASIC | CURLAUTH_DIGEST);
    agent.curl.easy_setopt(c.easy, CURLOPT_USERNAME, s.http_user.c_str());
    agent.curl.easy_setopt(c.easy, CURLOPT_PASSWORD, s.http_password.c_str());
  }
}

void httpCameraClose(HttpAgent& agent, HttpCamera& c) {
  if (c.easy) {
    if (c.active) agent.curl.multi_remove_handle(agent.multi, c.easy);
    agent.curl.easy_cleanup(c.easy);
  }
  if (c.resolve) agent.curl.slist_free_all(c.resolve);
  c = HttpCamera();
}

void httpDeliver(HttpAgent& agent, HttpCamera& c, TallyState state, int64_t now,
                 DeliveryReport& report) {
  agent.nowNs = now;
  if (c.active) agent.curl.multi_remove_handle(agent.multi, c.easy);  // a newer state wins
  c.state = state;
  c.next = 0;
  if (!c.easy)
    report.failures.push_back(
        {LinkFailure::HTTP, "GET", 0,
         c.config->requests[state].at(0).url + " failed: libcurl is not set up"});
  c.active = c.easy && startRequest(agent, c, report);
  report.status = c.active ? DeliveryStatus::RUNNING : DeliveryStatus::FAILED;
  // Curl starts a transfer on its timer, due at once: run it now, so that the request leaves
  // before the switcher's acknowledgement and a turn of the loop.
  if (c.active) httpAgentRun(agent, -1, 0, now);
}

void httpAgentRun(HttpAgent& agent, int fd, uint32_t events, int64_t now) {
  agent.nowNs = now;
  int mask = 0;
  if (events & EPOLLIN) mask |= CURL_CSELECT_IN;
  if (events & EPOLLOUT) mask |= CURL_CSELECT_OUT;
  if (events & (EPOLLERR | EPOLLHUP)) mask |= CURL_CSELECT_ERR;
  int running = 0;
  if (fd < 0) agent.deadlineNs = INT64_MAX;  // curl sets it again if it wants
  agent.curl.multi_socket_action(agent.multi, fd < 0 ? CURL_SOCKET_TIMEOUT : fd, mask, &running);
}

void httpAgentReap(HttpAgent& agent, int64_t now, std::vector<HttpDone>& done) {
  agent.nowNs = now;
  int left = 0;
  while (CURLMsg* m = agent.curl.multi_info_read(agent.multi, &left)) {
    if (m->msg != CURLMSG_DONE) continue;
    HttpCamera* c = nullptr;
    agent.curl.easy_getinfo(m->easy_handle, CURLINFO_PRIVATE, &c);
    const CURLcode result = m->data.result;
    agent.curl.multi_remove_handle(agent.multi, m->easy_handle);
    if (!c || !c->active) continue;
    HttpDone d{c, {}};
    const HttpRequest& r = c->config->requests[c->state][c->next];
    long status = 0;
    agent.curl.easy_getinfo(c->easy, CURLINFO_RESPONSE_CODE, &status);
    if (result != CURLE_OK) {
      const bool late = result == CURLE_OPERATION_TIMEDOUT;
      d.report.failures.push_back(
          {LinkFailure::HTTP, "GET", 0, r.url + " failed: " + agent.curl.easy_strerror(result)});
      d.report.outcome = late ? "timed out" : "no answer";
    } else {
      d.report.outcome = "HTTP " + std::to_string(status);
      if (status >= 400)
        d.report.failures.push_back({LinkFailure::HTTP, "GET", static_cast<int>(status), r.url});
    }
    if (!d.report.failures.empty()) {
      c->active = false;
      d.report.status = DeliveryStatus::FAILED;
    } else if (++c->next < c->config->requests[c->state].size()) {
      d.report.status = DeliveryStatus::RUNNING;
      if (!startRequest(agent, *c, d.report)) {
        c->active = false;
        d.report.status = DeliveryStatus::FAILED;
      }
    } else {
      c->active = false;
      d.report.status = DeliveryStatus::DELIVERED;
    }
    done.push_back(std::move(d));
  }
}
