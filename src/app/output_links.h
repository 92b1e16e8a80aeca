// The outputs' side of the bridge run: the TSL sockets, the tally server and the status page,
// opened, fed and closed as the core's output actions say, their descriptors watched in the
// driver's event loop (tags kTagTsl, kTagTally, kTagWeb), their news handed back to the core.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/core.h"
#include "link/event_loop.h"
#include "link/tally_server.h"
#include "link/tsl_link.h"
#include "link/web_server.h"

// One output's link, by the core's id for the output.
struct OutputSlot {
  uint32_t id = 0;
  OutputType type = OutputType::TSL;
  TslLink tsl;
  int watchedFd = -1;  // the TSL socket's events as last watched
  uint32_t watched = 0;
  TallyServer server;
  std::unique_ptr<WebServer> web;  // libmicrohttpd keeps pointers into it
};

struct OutputLinks {
  EventLoop* loop = nullptr;
  Core* core = nullptr;
  std::vector<std::unique_ptr<OutputSlot>> slots;
  OutputSlot* web = nullptr;      // the status page's server, when it runs
  uint64_t publishedVersion = 0;  // the core's view as last published to the page
  WebHistogram latency;           // switcher datagram to camera send, while the page runs
};

// Carries out one of the core's output actions; news goes to the core, into `out`.
void outputsAct(OutputLinks& o, const OutputAction& act, int64_t now, CoreActions& out);
// An event on an output's descriptor (`kind`: kTagTsl, kTagTally or kTagWeb).
void outputsEvent(OutputLinks& o, uint64_t kind, uint32_t id, int fd, uint32_t events, int64_t now,
                  CoreActions& out);
// The earliest reading at which outputsTimers has something to do.
int64_t outputsDeadline(const OutputLinks& o, int64_t now);
void outputsTimers(OutputLinks& o, int64_t now, CoreActions& out);
// The page's live streams hear the core's view when it changed since they last did.
void outputsPublish(OutputLinks& o, int64_t now);
void outputsClose(OutputLinks& o);
