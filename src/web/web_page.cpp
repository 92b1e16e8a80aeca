// The status documents: the /api/status JSON, the Prometheus text, the SSE framing and the three
// pages. Every piece of configured or switcher-given text that goes out passes one of the
// escapers below (JSON, HTML, Prometheus label) after being made valid UTF-8, so a camera named
// "<script>" or a source name with a stray Latin-1 byte shows as itself and never breaks a page.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "web/web_view.h"

namespace {

// ---- Text ----------------------------------------------------------------------------------

// The length of the well-formed UTF-8 sequence at `p`, or 0 when there is none; `maximal` is then
// the number of bytes that began one and must become a single U+FFFD (at least 1), which is how
// browsers and the Unicode standard count replacements.
size_t utf8Sequence(const unsigned char* p, size_t left, size_t& maximal) {
  const unsigned char c = p[0];
  size_t need = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;  // no overlong forms
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
  } else {
    maximal = 1;
    return 0;
  }
  size_t i = 1;
  for (; i <= need && i < left; ++i) {
    const unsigned char b = p[i];
    if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) break;
  }
  if (i == need + 1) return i;
  maximal = i;
  return 0;
}

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Calls `each(byte)` for plain ASCII bytes and appends whole multi-byte characters itself, with
// every ill-formed sequence replaced by U+FFFD.
template <typename Each>
void forEachValid(std::string& out, const std::string& in, Each each) {
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  size_t at = 0;
  while (at < in.size()) {
    size_t maximal = 0;
    const size_t n = utf8Sequence(p + at, in.size() - at, maximal);
    if (n == 0) {
      out += kReplacement;
      at += maximal;
    } else if (n == 1) {
      each(static_cast<char>(p[at]));
      ++at;
    } else {
      out.append(in, at, n);
      at += n;
    }
  }
}

void appendJsonString(std::string& out, const std::string& s) {
  out += '"';
  forEachValid(out, s, [&out](char c) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
          out += esc;
        } else {
          out += c;
        }
    }
  });
  out += '"';
}

// Text and attribute values alike (attributes are always double-quoted here). Control bytes
// other than tab and line breaks are not allowed in HTML: they become U+FFFD.
void appendHtml(std::string& out, const std::string& s) {
  forEachValid(out, s, [&out](char c) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') ||
            c == 0x7F)
          out += kReplacement;
        else
          out += c;
    }
  });
}

std::string html(const std::string& s) {
  std::string out;
  appendHtml(out, s);
  return out;
}

// A path segment: unreserved bytes as they are, every other byte as %XX. The server decodes it
// back to the same bytes, so a link finds its camera whatever the name holds.
std::string percentEncoded(const std::string& s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

void appendLabel(std::string& out, const std::string& s) {
  out += '"';
  forEachValid(out, s, [&out](char c) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  });
  out += '"';
}

const char* lampWord(WebLamp lamp) {
  switch (lamp) {
    case WebLamp::PROGRAM:
      return "PROGRAM";
    case WebLamp::PREVIEW:
      return "PREVIEW";
    case WebLamp::OFF:
      break;
  }
  return "OFF";
}

// An age in whole milliseconds, or null for a reading of 0 (none).
void appendAgeMs(std::string& out, int64_t nowNs, int64_t thenNs) {
  if (thenNs == 0) {
    out += "null";
    return;
  }
  const int64_t ms = nowNs > thenNs ? (nowNs - thenNs) / 1'000'000 : 0;
  out += std::to_string(ms);
}

// Nanoseconds as seconds in exact decimal: 10000 -> "0.00001", 2500000000 -> "2.5".
std::string seconds(uint64_t ns) {
  std::string out = std::to_string(ns / 1'000'000'000);
  uint64_t frac = ns % 1'000'000'000;
  if (frac == 0) return out;
  char digits[16];
  std::snprintf(digits, sizeof digits, "%09" PRIu64, frac);
  std::string f(digits);
  f.erase(f.find_last_not_of('0') + 1);
  return out + "." + f;
}

// ---- Prometheus -----------------------------------------------------------------------------

void family(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

void scalar(std::string& out, const char* name, const char* type, const char* help,
            uint64_t value) {
  family(out, name, type, help);
  out += name;
  out += ' ';
  out += std::to_string(value);
  out += '\n';
}

void counts(std::string& out, const char* name, const char* help, const char* labelName,
            const std::vector<WebCount>& list) {
  family(out, name, "counter", help);
  for (const WebCount& c : list) {
    out += name;
    out += "{camera=";
    appendLabel(out, c.camera);
    out += ',';
    out += labelName;
    out += '=';
    appendLabel(out, c.label);
    out += "} ";
    out += std::to_string(c.count);
    out += '\n';
  }
}

// ---- Pages ----------------------------------------------------------------------------------

// The head every page shares: no favicon request, a phone-sized viewport, dark by default.
std::string head(const std::string& title, const char* style) {
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<meta name=\"color-scheme\" content=\"dark\">"
      "<link rel=\"icon\" href=\"data:,\"><title>";
  appendHtml(out, title);
  out += "</title><style>";
  out += style;
  out += "</style></head>";
  return out;
}

// The live connection, shared by both live pages. stream(render, live) calls render(status) for
// each state and live(true/false) as the connection comes and goes. EventSource reconnects by
// itself after a dropped connection, but not after an answer it refuses (readyState CLOSED),
// and never notices a connection that went dead without a word (a phone that changed networks):
// the watchdog makes a new one in both cases. The server sends a "ping" event every 15 s, so 40 s
// without a word means the connection is dead.
constexpr char kStreamScript[] = R"JS(
function stream(render, live) {
  var es = null, heard = 0;
  function open() {
    if (es) es.close();
    heard = Date.now();
    es = new EventSource('/events');
    es.onopen = function () { heard = Date.now(); };
    es.onmessage = function (e) {
      heard = Date.now();
      var s;
      try { s = JSON.parse(e.data); } catch (x) { return; }
      live(true);
      render(s);
    };
    es.addEventListener('ping', function () { heard = Date.now(); });
    es.onerror = function () { live(false); };
  }
  function check() {
    if (es.readyState === 2 || Date.now() - heard > 40000) { live(false); open(); }
  }
  open();
  setInterval(check, 5000);
  document.addEventListener('visibilitychange', function () {
    if (document.visibilityState === 'visible') check();
  });
}
function ago(ms) {
  if (ms === null || ms === undefined) return 'never';
  var s = Math.floor(ms / 1000);
  if (s < 1) return 'just now';
  if (s < 60) return s + ' s ago';
  if (s < 3600) return Math.floor(s / 60) + ' min ago';
  return Math.floor(s / 3600) + ' h ' + Math.floor(s % 3600 / 60) + ' min ago';
}
function span(ms) {
  var s = Math.floor(ms / 1000);
  if (s < 60) return s + ' s';
  if (s < 3600) return Math.floor(s / 60) + ' min ' + (s % 60) + ' s';
  return Math.floor(s / 3600) + ' h ' + Math.floor(s % 3600 / 60) + ' min';
}
)JS";

constexpr char kOverviewStyle[] = R"CSS(
*{box-sizing:border-box}
body{margin:0;padding:.75rem;background:#15171a;color:#e8e8e8;font:16px/1.4 system-ui,sans-serif}
header{display:flex;flex-wrap:wrap;align-items:center;gap:.5rem 1rem;margin-bottom:.75rem}
h1{font-size:1.3rem;margin:0}
#live{padding:.2rem .6rem;border-radius:.3rem;font-weight:600;background:#444}
#live[data-live=live]{background:#1d5e2a}
#live[data-live=lost]{background:#b8860b;color:#000}
body[data-live=lost] main{opacity:.55}
#switcher{display:grid;grid-template-columns:repeat(auto-fit,minmax(9rem,1fr));gap:.4rem 1rem;
 padding:.75rem;margin-bottom:.75rem;border-radius:.4rem;background:#22262b}
#switcher .k{display:block;font-size:.8rem;color:#9aa}
#switcher[data-state=connected] #sw-state{color:#6d6}
#switcher[data-state=lost] #sw-state{color:#f66;font-weight:700}
table{width:100%;border-collapse:collapse}
th,td{text-align:left;padding:.45rem .5rem;border-bottom:1px solid #30353b;vertical-align:middle}
th{font-size:.8rem;color:#9aa;font-weight:600}
td.num{font-variant-numeric:tabular-nums}
.lamp{display:inline-block;width:1.6rem;height:1.1rem;border-radius:.2rem;vertical-align:middle;
 margin-right:.4rem;background:#2a2a2a;border:1px solid #555}
.lamp[data-lamp=PROGRAM]{background:#e00;border-color:#f55}
.lamp[data-lamp=PREVIEW]{background:#0b0;border-color:#5d5}
.sub{display:block;font-size:.8rem;color:#9aa}
a{color:#8cf}
tr[data-failures] td.fail{color:#f88;font-weight:700}
@media (max-width:40rem){
 thead{display:none}
 table,tbody,tr,td{display:block;width:100%}
 tr{margin-bottom:.6rem;padding:.4rem;border-radius:.4rem;background:#22262b}
 td{border:0;padding:.2rem .3rem;display:flex;gap:.6rem;align-items:baseline}
 td::before{content:attr(data-label);flex:0 0 6.5rem;color:#9aa;font-size:.85rem}
 td>div{flex:1;min-width:0;overflow-wrap:anywhere}
 .lamp{width:2.2rem;height:1.3rem}
}
)CSS";

constexpr char kOverviewBody[] = R"HTML(
<body data-live="connecting">
<header><h1>Quorvel</h1><span id="live" data-live="connecting">connecting&hellip;</span></header>
<main>
<section id="switcher" data-state="">
<div><span class="k">Switcher</span><span id="sw-address"></span></div>
<div><span class="k">State</span><span id="sw-state"></span></div>
<div><span class="k">Session</span><span id="sw-session"></span></div>
<div><span class="k">Connected for</span><span id="sw-since"></span></div>
<div><span class="k">Foreign datagrams dropped</span><span id="sw-foreign"></span></div>
<div><span class="k">Packets skipped</span><span id="sw-skipped"></span></div>
</section>
<table id="rows"><thead><tr><th>Name</th><th>Source</th><th>Lamp</th><th>Last delivery</th>
<th>Outcome</th><th>Answers</th><th>Failures</th></tr></thead><tbody id="rows-body"></tbody></table>
</main>
<script>
)HTML";

// Every text from the status goes in through textContent or setAttribute, never as markup.
constexpr char kOverviewScript[] = R"JS(
var last = null, at = 0;
function $(id) { return document.getElementById(id); }
function text(id, t) { $(id).textContent = t; }
// A cell's content sits in one div, so that on a phone the label and the content are two columns.
function cell(tr, label, t, cls) {
  var td = document.createElement('td'), div = document.createElement('div');
  td.setAttribute('data-label', label);
  if (cls) td.className = cls;
  if (t !== null) div.textContent = t;
  td.appendChild(div);
  tr.appendChild(td);
  return div;
}
function sub(td, t) {
  if (!t) return;
  var s = document.createElement('span');
  s.className = 'sub';
  s.textContent = t;
  td.appendChild(s);
}
function ages() {
  if (!last) return;
  var gone = performance.now() - at, sw = last.switcher;
  text('sw-since', sw.connectedForMs === null ? '-' : span(sw.connectedForMs + gone));
  var cells = document.querySelectorAll('td.ago > div');
  for (var i = 0; i < cells.length && i < last.rows.length; i++) {
    var ms = last.rows[i].lastDeliveryAgoMs;
    cells[i].textContent = ago(ms === null ? null : ms + gone);
  }
}
function render(s) {
  last = s; at = performance.now();
  var sw = s.switcher;
  $('switcher').setAttribute('data-state', sw.state);
  text('sw-address', sw.address);
  text('sw-state', sw.state);
  text('sw-session', sw.state === 'connected' ? String(sw.session) : '-');
  text('sw-foreign', String(sw.foreignDropped));
  text('sw-skipped', String(sw.skipped));
  var body = $('rows-body'), rows = document.createDocumentFragment();
  s.rows.forEach(function (r) {
    var tr = document.createElement('tr');
    tr.className = 'row';
    tr.setAttribute('data-name', r.name);
    tr.setAttribute('data-kind', r.kind);
    tr.setAttribute('data-lamp', r.lamp);
    if (r.failures > 0) tr.setAttribute('data-failures', String(r.failures));
    var name = cell(tr, 'Name', null);
    if (r.camera) {
      var a = document.createElement('a');
      a.href = '/tally/' + encodeURIComponent(r.name);
      a.textContent = r.name;
      name.appendChild(a);
    } else {
      name.appendChild(document.createTextNode(r.name));
    }
    sub(name, r.kind + (r.address ? ' ' + r.address : ''));
    var src = cell(tr, 'Source', r.source === null ? '-' : 'input ' + r.source);
    sub(src, r.sourceName);
    var lamp = cell(tr, 'Lamp', null, 'lampcell');
    var block = document.createElement('span');
    block.className = 'lamp';
    block.setAttribute('data-lamp', r.lamp);
    lamp.appendChild(block);
    lamp.appendChild(document.createTextNode(r.lamp));
    cell(tr, 'Last delivery', '', 'ago');
    cell(tr, 'Outcome', r.outcome || '-');
    cell(tr, 'Answers', r.answers || '-');
    cell(tr, 'Failures', String(r.failures), 'num fail');
    rows.appendChild(tr);
  });
  body.textContent = '';
  body.appendChild(rows);
  ages();
}
function live(on) {
  var state = on ? 'live' : 'lost';
  document.body.setAttribute('data-live', state);
  $('live').setAttribute('data-live', state);
  $('live').textContent = on ? 'live' : 'connection lost \u2014 reconnecting\u2026';
}
stream(render, live);
setInterval(ages, 1000);
</script></body></html>
)JS";

constexpr char kTallyStyle[] = R"CSS(
html,body{height:100%;margin:0}
body{display:flex;align-items:center;justify-content:center;text-align:center;overflow:hidden;
 font-family:system-ui,sans-serif;background:#333;color:#ccc;-webkit-user-select:none;user-select:none}
body[data-lamp=PROGRAM]{background:#d00000;color:#fff}
body[data-lamp=PREVIEW]{background:#009a00;color:#fff}
body[data-lamp=OFF]{background:#333;color:#ccc}
body[data-lamp=NONE]{background:#1c1c1c;color:#999}
main{padding:2vmin;max-width:100%}
#name{font-weight:800;line-height:1.05;word-break:break-word;font-size:18vw;font-size:min(20vw,30vh)}
#state{font-weight:600;letter-spacing:.08em;font-size:8vw;font-size:min(8vw,11vh)}
#note{display:inline-block;margin-top:3vmin;padding:.2em .6em;border-radius:.3em;
 font-weight:700;font-size:6vw;font-size:min(6vw,8vh);background:#000;color:#ffd400}
#note:empty{display:none}
body[data-live=lost] main{opacity:.6}
)CSS";

// The lamp's colour fills the page. While the connection is down the last colour stays, dimmed,
// under "reconnecting"; a camera the status does not list shows as NONE. The screen is kept on
// with a wake lock where the browser has one (secure pages only): it is released whenever the
// page is hidden, so it is asked for again each time the page shows.
constexpr char kTallyScript[] = R"JS(
var camera = JSON.parse(document.body.getAttribute('data-camera'));
var on = false, switcher = '', row = null;
function show() {
  var b = document.body, lamp = row ? row.lamp : 'NONE', note = '';
  b.setAttribute('data-lamp', lamp);
  b.setAttribute('data-live', on ? 'live' : 'lost');
  b.setAttribute('data-switcher', switcher);
  document.getElementById('state').textContent = row ? row.lamp : '';
  if (!on) note = 'reconnecting\u2026';
  else if (switcher === 'lost') note = 'switcher lost';
  else if (!row) note = 'not in the show';
  document.getElementById('note').textContent = note;
}
function render(s) {
  switcher = s.switcher.state;
  row = null;
  for (var i = 0; i < s.rows.length; i++)
    if (s.rows[i].camera && s.rows[i].name === camera) row = s.rows[i];
  show();
}
function live(v) { on = v; show(); }
function wake() {
  if (!navigator.wakeLock || document.visibilityState !== 'visible') return;
  try { navigator.wakeLock.request('screen').catch(function () {}); } catch (x) {}
}
stream(render, live);
document.addEventListener('visibilitychange', wake);
document.addEventListener('click', function () {
  wake();
  var d = document.documentElement;
  try { if (!document.fullscreenElement && d.requestFullscreen) d.requestFullscreen().catch(function () {}); } catch (x) {}
});
wake();
</script></body></html>
)JS";

constexpr char kListStyle[] = R"CSS(
body{margin:0;padding:1rem;background:#15171a;color:#e8e8e8;font:18px/1.5 system-ui,sans-serif}
h1{font-size:1.3rem}
ul{list-style:none;padding:0}
li{margin:.4rem 0}
a{display:block;padding:.7rem 1rem;border-radius:.4rem;background:#22262b;color:#8cf;text-decoration:none}
)CSS";

}  // namespace

void webObserve(WebHistogram& h, int64_t ns) {
  if (ns < 0) ns = 0;
  size_t i = 0;
  while (i < kWebLatencyBuckets && ns > kWebLatencyBoundsNs[i]) ++i;
  ++h.buckets[i];
  ++h.count;
  h.sumNs += static_cast<uint64_t>(ns);
}

std::string webStatusJson(const WebView& view) {
  const WebSwitcher& sw = view.switcher;
  std::string out = "{\"switcher\":{\"address\":";
  appendJsonString(out, sw.address);
  out += ",\"state\":";
  appendJsonString(out, sw.state);
  out += ",\"session\":" + std::to_string(sw.session) + ",\"connectedForMs\":";
  appendAgeMs(out, view.nowNs, sw.connectedSinceNs);
  out += ",\"foreignDropped\":" + std::to_string(sw.foreignDropped);
  out += ",\"skipped\":" + std::to_string(sw.skipped) + "},\"rows\":[";
  for (size_t i = 0; i < view.rows.size(); ++i) {
    const WebRow& r = view.rows[i];
    if (i) out += ',';
    out += "{\"name\":";
    appendJsonString(out, r.name);
    out += r.camera ? ",\"camera\":true,\"kind\":" : ",\"camera\":false,\"kind\":";
    appendJsonString(out, r.kind);
    out += ",\"address\":";
    appendJsonString(out, r.address);
    out += ",\"source\":" + (r.source < 0 ? std::string("null") : std::to_string(r.source));
    out += ",\"sourceName\":";
    appendJsonString(out, r.sourceName);
    out += ",\"lamp\":\"";
    out += lampWord(r.lamp);
    out += "\",\"lastDeliveryAgoMs\":";
    appendAgeMs(out, view.nowNs, r.lastDeliveryNs);
    out += ",\"outcome\":";
    appendJsonString(out, r.outcome);
    out += ",\"answers\":";
    appendJsonString(out, r.answers);
    out += ",\"failures\":" + std::to_string(r.failures) + "}";
  }
  out += "]}";
  return out;
}

std::string webMetricsText(const WebView& view, const WebMetrics& m) {
  std::string out;
  scalar(out, "quorvel_switcher_connected", "gauge",
         "Whether the switcher session is up (1) or not (0).",
         view.switcher.state == "connected" ? 1 : 0);
  scalar(out, "quorvel_switcher_session_losses_total", "counter",
         "Switcher sessions that went silent.", m.sessionLosses);
  scalar(out, "quorvel_switcher_reopens_total", "counter",
         "Requests of the switcher to open the session again.", m.reopens);
  scalar(out, "quorvel_switcher_foreign_datagrams_total", "counter",
         "Datagrams dropped for not coming from the switcher.", m.foreignDatagrams);
  scalar(out, "quorvel_switcher_skipped_packets_total", "counter", "Switcher packets skipped.",
         m.skippedPackets);

  family(out, "quorvel_camera_lamp", "gauge",
         "The state last decided for each camera: 0 OFF, 1 PREVIEW, 2 PROGRAM.");
  for (const WebRow& r : view.rows) {
    if (!r.camera) continue;
    out += "quorvel_camera_lamp{camera=";
    appendLabel(out, r.name);
    out += "} ";
    out += r.lamp == WebLamp::PROGRAM ? '2' : r.lamp == WebLamp::PREVIEW ? '1' : '0';
    out += '\n';
  }
  counts(out, "quorvel_deliveries_total",
         "States delivered, by camera and the rung that got through.", "via", m.deliveries);
  counts(out, "quorvel_delivery_failures_total", "Delivery rungs that failed, by camera and rung.",
         "via", m.failures);
  counts(out, "quorvel_camera_answers_total", "Answers of the cameras, by camera and kind.", "kind",
         m.answers);

  scalar(out, "quorvel_tally_server_clients", "gauge", "Clients of the tally server connected.",
         m.tallyServerClients);
  scalar(out, "quorvel_tsl_receivers_connected", "gauge", "TSL receivers connected.",
         m.tslReceivers);
  scalar(out, "quorvel_web_clients", "gauge", "Live status pages connected.", m.webClients);

  const char* h = "quorvel_tally_latency_seconds";
  family(out, h, "histogram",
         "Time from a switcher datagram to the camera datagram or request it caused.");
  uint64_t cumulative = 0;
  for (size_t i = 0; i <= kWebLatencyBuckets; ++i) {
    cumulative += m.latency.buckets[i];
    out += h;
    out += "_bucket{le=\"";
    out += i < kWebLatencyBuckets ? seconds(static_cast<uint64_t>(kWebLatencyBoundsNs[i]))
                                  : std::string("+Inf");
    out += "\"} " + std::to_string(cumulative) + "\n";
  }
  out += std::string(h) + "_sum " + seconds(m.latency.sumNs) + "\n";
  out += std::string(h) + "_count " + std::to_string(m.latency.count) + "\n";
  return out;
}

std::string webEvent(const std::string& json) {
  std::string out;
  size_t at = 0;
  while (true) {
    const size_t end = json.find_first_of("\r\n", at);
    out += "data: ";
    out.append(json, at, end == std::string::npos ? std::string::npos : end - at);
    out += '\n';
    if (end == std::string::npos) break;
    at = end + (json.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
  out += '\n';
  return out;
}

std::string webOverviewPage() {
  std::string out = head("Quorvel", kOverviewStyle);
  out += kOverviewBody;
  out += kStreamScript;
  out += kOverviewScript;
  return out;
}

std::string webTallyPage(const std::string& name) {
  std::string out = head(name + " \xE2\x80\x94 tally", kTallyStyle);
  // The name reaches the script as JSON inside an attribute: HTML-escaped here, unescaped by the
  // browser, then parsed, so no byte of it is ever read as markup or code.
  std::string json;
  appendJsonString(json, name);
  out += "\n<body data-lamp=\"NONE\" data-live=\"connecting\" data-switcher=\"\" data-camera=\"";
  appendHtml(out, json);
  out += "\"><main><div id=\"name\">";
  appendHtml(out, name);
  out += "</div><div id=\"state\"></div><div id=\"note\">connecting&hellip;</div></main>\n<script>";
  out += kStreamScript;
  out += kTallyScript;
  return out;
}

std::string webCameraListPage(const std::vector<std::string>& names, const std::string& asked) {
  std::string out = head("Cameras", kListStyle);
  out += "\n<body><h1>";
  if (asked.empty()) {
    out += "Cameras";
  } else {
    out += "No camera is named \xE2\x80\x9C";
    out += html(asked);
    out += "\xE2\x80\x9D. The cameras:";
  }
  out += "</h1><ul id=\"cameras\">";
  for (const std::string& n : names) {
    out += "<li><a href=\"/tally/" + percentEncoded(n) + "\" data-name=\"";
    appendHtml(out, n);
    out += "\">";
    appendHtml(out, n);
    out += "</a></li>";
  }
  out += "</ul></body></html>\n";
  return out;
}
