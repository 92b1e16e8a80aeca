// The tally server for wireless tally lights and tools (the conversation is vmix/vmix_tally.h):
// a listening TCP socket and its clients, all watched by the bridge's event loop. At most
// kMaxTallyClients are served; one more is closed at once. A client that stops reading is dropped
// once kTallyMaxPending bytes wait for it; a client that sends nothing costs nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "link/event_loop.h"
#include "vmix/vmix_tally.h"

constexpr size_t kTallyMaxPending = 64 * 1024;

struct TallyServer {
  struct Client {
    int fd = -1;
    VmixClient conversation;
    std::string pending;  // answers the client has not taken yet
    bool waiting = false;  // watched for room to write
  };
  EventLoop* loop = nullptr;
  uint64_t tagKind = 0;  // the events of its sockets come back tagged kind << 56 | fd
  int fd = -1;           // listening
  std::vector<std::unique_ptr<Client>> clients;
  std::string digits;  // the tally as it stands
};

// What the server's sockets did in one turn: clients refused beyond the limit (their peers).
struct TallyServerNews {
  std::vector<std::string> refused;
  bool clientsChanged = false;
};

// Listens on `listen`. False with the reason in `error`.
bool tallyServerOpen(TallyServer& server, EventLoop& loop, uint64_t tagKind, const Listen& listen,
                     std::string& error);
// An event on socket `fd` of the server (the listening one or a client's).
void tallyServerEvent(TallyServer& server, int fd, uint32_t events, TallyServerNews& news);
// The tally changed: subscribed clients get the new line.
void tallyServerPublish(TallyServer& server, const std::string& digits, TallyServerNews& news);
void tallyServerClose(TallyServer& server);
