// The outputs beside the cameras: every source of the switcher, with its lamp, carried to TSL
// UMD displays and to the clients of the tally server; and the status page's listener. Pure, like
// the rest of the core: the model and the clock reading come in, actions come out.
//
// Cameras follow one source each and have schedules of their own; outputs show many sources at
// once and follow the model as it stands: on every change of a source they show, and at their
// refresh. They are fed after the wake's camera datagrams and acknowledgement have gone, so that
// no camera waits for a display.
//
// Adding a kind of output: its settings block in config/ (a scope of rows in kSettings and a
// checked record in Config), its feed here (what to send when the model changes), and its link
// in link/ with one case in app/output_links.cpp (outputsAct). The core's session and cameras
// stay as they are.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "atem/atem_commands.h"
#include "base/bytes.h"
#include "base/log.h"
#include "config/config.h"
#include "tally/tally.h"

// The tally model as the outputs read it: each source's lamp from the switcher's tables, or OFF
// for every source while `dark` (before the initial state is in, a switcher lost with "off", the
// stop).
struct LampModel {
  const AtemTables* tables = nullptr;
  bool dark = true;
};
TallyState modelLamp(const LampModel& model, uint16_t source);

enum class OutputType { TSL, TALLY_SERVER, WEB };

// What the driver does to an output's link.
struct OutputAction {
  enum Kind { OPEN, SEND, CLOSE } kind = SEND;
  OutputType type = OutputType::TSL;
  uint32_t output = 0;
  const TslConfig* tsl = nullptr;  // OPEN of a TSL output (the core keeps it while it is open)
  const Listen* listen = nullptr;  // OPEN of the tally server or the page
  // SEND: TSL messages or packets, one datagram each, or written in order over TCP; for the tally
  // server one: the new digits (OPEN: the digits it starts with).
  std::vector<Bytes> packets;
};

// One TSL output: what its displays showed when last sent.
struct TslFeed {
  uint32_t id = 0;
  TslConfig config;
  // What each display showed when last sent, by address: 3.1's message, 5.0's display bytes.
  std::vector<std::pair<uint16_t, Bytes>> shown;
  bool full = true;                  // everything goes next time: start, a connection made
  int64_t lastFullNs = 0;
  bool tcpUp = false;
  bool tcpSaidDown = false;  // its loss has been logged
};

struct ServerFeed {
  uint32_t id = 0;
  TallyServerConfig config;
  std::string digits;  // one per input, as last sent
  size_t clients = 0;
  LineLimit refusals;  // clients beyond the limit: a line per 10 s at most
};

struct Outputs {
  std::vector<std::unique_ptr<TslFeed>> tsl;  // stable: links point into their configurations
  std::unique_ptr<ServerFeed> server;
  uint32_t webId = 0;  // the page's listener, 0: none
  Listen web;
  uint32_t nextId = 1;
  bool due = false;  // the model changed: feed the outputs after the cameras
};

// Opens the outputs `config` names (their [OK] lines into `lines`), closing those of `outputs`
// that it changes or drops. Every output then gets the whole model at its next feed.
void outputsConfigure(Outputs& outputs, const Config& config, LogLines& lines,
                      std::vector<OutputAction>& out);
// Closes every output.
void outputsClose(Outputs& outputs, std::vector<OutputAction>& out);
// Sends what changed in `model` since the last feed, and the refreshes due at `now`.
void outputsFeed(Outputs& outputs, const LampModel& model, int64_t now,
                 std::vector<OutputAction>& out);
// The next refresh (INT64_MAX: none).
int64_t outputsDeadline(const Outputs& outputs);

// A TSL output's TCP connection was made (`up`) or lost (`failure`): its loss and its return are
// logged once each, however often it is tried again.
void outputsTcp(Outputs& outputs, uint32_t id, bool up, const std::string& failure,
                LogLines& lines);
// The tally server's clients: how many are connected; one refused beyond the limit.
void outputsClients(Outputs& outputs, size_t clients);
void outputsRefused(Outputs& outputs, const std::string& peer, int64_t now, LogLines& lines);

// "TSL 1 of 2 up, 3 tally clients" for the status text ("" without outputs).
std::string outputsStatus(const Outputs& outputs);
// "tsl1" for a TSL output's id, "tally server", "" for none.
std::string outputName(const Outputs& outputs, uint32_t id);

// The digits of the tally server: one per input (0 off, 1 program, 2 preview); input k is source
// k up to the highest external source (1-999) the switcher names, or the configured list.
std::string serverDigits(const TallyServerConfig& config, const LampModel& model);
