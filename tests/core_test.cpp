// The bridge core with a fake clock: switcher datagrams, deliveries, signals and reloads go in at
// readings the test chooses; what comes out is checked: the camera deliveries with their bytes,
// the switcher's acknowledgements and hellos, the lines and the status.
#include "core/core.h"

#include <arpa/inet.h>

#include <cstring>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <random>

#include "test_support.h"

using namespace testing_support;

namespace {

constexpr int64_t kMs = kNsPerMs;
constexpr uint16_t kSession = 0x8001;

// One delivery the core started: which camera, what state, the first rung's bytes, when.
struct Sent {
  std::string camera;
  TallyState state;
  Bytes bytes;
  int64_t atMs;
  uint16_t port = 0;  // where the link sends
  bool operator==(const Sent& o) const {
    return camera == o.camera && state == o.state && atMs == o.atMs;
  }
};

using Sends = std::vector<Sent>;

std::ostream& operator<<(std::ostream& os, const Sent& s) {
  return os << s.camera << " " << tallyStateToString(s.state) << " @" << s.atMs;
}

// The core between a fake switcher and fake camera links. Every link delivers at once unless
// the test says otherwise for a camera (FAILED, or RUNNING: it hangs until `finish`).
struct Rig {
  std::unique_ptr<Core> core = std::make_unique<Core>();
  CoreActions acts;
  int64_t now = 0;
  Sends sent;
  std::vector<std::string> log;
  std::vector<uint16_t> acks;
  int hellos = 0, reopens = 0;
  std::vector<std::string> notify;
  std::map<uint32_t, const CameraConfig*> links;  // open, by camera id
  std::map<std::string, int> opened;              // links opened, by camera name
  std::map<std::string, DeliveryStatus> outcome;  // by camera name; DELIVERED when absent
  std::map<uint32_t, std::vector<Bytes>> outputSent;  // by output id, in order
  std::vector<std::string> outputLinks;               // "open 3", "close 1"
  uint16_t nextId = 1;                            // the switcher's next packet id
  std::string path = "/etc/quorvel.json";

  int64_t ms() const { return now / kMs; }

  void perform() {
    for (size_t i = 0; i < acts.cameras.size(); ++i) {
      const CameraAction a = acts.cameras[i];
      if (a.kind == CameraAction::OPEN) {
        EXPECT_EQ(links.count(a.camera), 0u) << "opened twice";
        links[a.camera] = a.config;
        ++opened[a.config->settings.name];
      } else if (a.kind == CameraAction::CLOSE) {
        EXPECT_EQ(links.erase(a.camera), 1u) << "closed but not open";
      } else {
        EXPECT_EQ(links.count(a.camera), 1u) << "delivery to a link not open";
        const CameraConfig& cfg = *links[a.camera];
        TallyState state = OFF;
        for (TallyState s : {OFF, PREVIEW, PROGRAM})
          if (a.ladder.rungs[0].bytes == &cfg.commands.forms[s].plain) state = s;
        const std::string name = cfg.settings.name;
        sent.push_back({name, state, *a.ladder.rungs[0].bytes, ms(), cfg.port});
        DeliveryReport r;
        r.status = outcome.count(name) ? outcome[name] : DeliveryStatus::DELIVERED;
        if (r.status == DeliveryStatus::FAILED) r.failures.push_back({LinkFailure::UDP, "sendto()", 101, {}});
        coreDelivered(*core, a.camera, r, now, acts);
      }
    }
    if (acts.reopenSwitcher) ++reopens;
    acks.insert(acks.end(), acts.acks.begin(), acts.acks.end());
    coreFeedOutputs(*core, now, acts);
    for (const OutputAction& o : acts.outputs) {
      if (o.kind == OutputAction::SEND)
        for (const Bytes& p : o.packets) outputSent[o.output].push_back(p);
      else
        outputLinks.push_back(std::string(o.kind == OutputAction::OPEN ? "open " : "close ") +
                              std::to_string(o.output));
    }
    if (acts.sendHello) ++hellos;
    for (const LogLine& l : acts.lines) log.push_back(formatLine(l));
    notify.insert(notify.end(), acts.notify.begin(), acts.notify.end());
    acts.clear();
    coreWakeEnd(*core, acts);
    for (const CameraAction& a : acts.cameras) links.erase(a.camera);
    for (const LogLine& l : acts.lines) log.push_back(formatLine(l));
    acts.clear();
  }

  void start(const std::string& json) {
    coreStart(*core, configOf(json), path, now, acts);
    perform();
  }
  // A single camera watching `members`, on loopback.
  void startOne(const std::string& members = "") {
    start(R"({"atem_ip": "127.0.0.1", "visca_host": "127.0.0.1")" + members + "}");
  }
  // Cameras named by `entries` ({"name": ..., ...}, ...) with `top` members at the top level.
  void startMany(const std::string& entries, const std::string& top = "") {
    start(R"({"atem_ip": "127.0.0.1", "visca_host": "127.0.0.1")" + top + ", \"cameras\": [" +
          entries + "]}");
  }

  void receive(const Bytes& datagram) {
    coreSwitcherDatagram(*core, datagram.data(), datagram.size(), now, acts);
    perform();
  }
  // A reliable packet of command blocks, with the next id.
  void send(const Bytes& payload) { receive(atemPacket(0x08, kSession, nextId++, payload)); }
  // The switcher accepts the hello and sends its first packet.
  void accept() {
    receive(atemSynAnswer(0, 0x02));
    nextId = 1;
    send({});
  }
  // ... then its initial state (program, preview on M/E 0), without the InCm that would end
  // the wait at once, then the warm-up ends: the cameras start 3.5 s after the acceptance.
  void connect(uint16_t program = 1, uint16_t preview = 2) {
    accept();
    send(buses(program, preview));
    advanceTo(now + kSettleNs + kWarmUpNs);
  }

  static Bytes buses(uint16_t program, uint16_t preview, int me = 0) {
    return busBlock("PrgI", me, program) + busBlock("PrvI", me, preview);
  }

  // Moves the clock to `to`, running every deadline on the way as the loop would.
  void advanceTo(int64_t to) {
    for (int64_t d; (d = coreDeadline(*core)) <= to;) {
      now = std::max(now, d);
      coreTick(*core, now, acts);
      perform();
    }
    now = to;
  }
  void advance(int64_t byMs) { advanceTo(now + byMs * kMs); }
  // The same while the switcher sends its keep-alive every second.
  void idle(int64_t byMs) {
    for (int64_t end = now + byMs * kMs; now < end;) {
      advanceTo(std::min(end, now + 1000 * kMs));
      send({});
    }
  }

  void finish(const std::string& camera, DeliveryStatus status) {
    outcome.erase(camera);
    for (const auto& c : core->cameras)
      if (c->config.settings.name == camera) {
        DeliveryReport r;
        r.status = status;
        coreDelivered(*core, c->id, r, now, acts);
      }
    perform();
  }

  void stop(int signo = 15) {
    coreStop(*core, &signo, 1, now, acts);
    perform();
  }

  void reload(const std::string& json) {
    LoadedConfig l;
    l.ok = true;
    l.config = configOf(json);
    coreReload(*core, l, now, acts);
    perform();
  }

  // The deliveries since the last call.
  Sends take() {
    Sends s;
    s.swap(sent);
    return s;
  }
  bool logged(const std::string& line) const {
    return std::find(log.begin(), log.end(), line) != log.end();
  }
  std::string lines() const {
    std::string all;
    for (const std::string& l : log) all += l + "\n";
    return all;
  }
};

}  // namespace

// From the hello to the stop, with one camera: the lines a healthy start writes, the initial
// state at the end of the warm-up, each cut at once with its acknowledgement, OFF at the stop.
TEST(Core, StartCutsAndStop) {
  Rig r;
  r.startOne(R"(, "watch_input_id": 3, "compat_try_tcp": false)");
  EXPECT_EQ(r.hellos, 1);
  EXPECT_EQ(r.reopens, 1);
  EXPECT_EQ(r.links.size(), 1u);
  r.accept();
  EXPECT_EQ(r.acks, (std::vector<uint16_t>{0, 1}));
  r.send(Rig::buses(3, 4));
  r.advance(kSettleNs / kMs + kWarmUpNs / kMs - 1);
  EXPECT_TRUE(r.take().empty()) << "nothing before the warm-up ends";
  r.advance(1);
  const Sends initial = r.take();
  EXPECT_EQ(initial, (Sends{{"cam1", PROGRAM, {}, 3500}}));
  EXPECT_EQ(initial.at(0).bytes, kProgram);
  EXPECT_EQ(r.lines(),
            "[INFO] Connecting to ATEM at 127.0.0.1...\n"
            "[ATEM] SYN-ACK received, session 0x8001\n"
            "[OK] ATEM 127.0.0.1 connected | ME=0 watch_input=3 -> 127.0.0.1:52381\n"
            "[OK] Will also try 8-byte VISCA-IP prefix\n"
            "[OK] Tally follows the switcher's tally list\n");

  r.send(busBlock("PrvI", 0, 5));  // the other bus: nothing
  r.send(Rig::buses(4, 3));
  EXPECT_EQ(r.take(), (Sends{{"cam1", PREVIEW, {}, 3500}}));
  EXPECT_EQ(r.acks.back(), r.nextId - 1) << "acknowledged in the same step";
  EXPECT_EQ(coreStatus(*r.core), "connected to 127.0.0.1 \xC2\xB7 cam1 PREVIEW");

  r.stop(15);
  r.stop(2);
  EXPECT_EQ(r.take(), (Sends{{"cam1", OFF, {}, 3500}}));
  EXPECT_TRUE(r.core->done);
  EXPECT_EQ(r.core->exitStatus, 0);
  EXPECT_EQ(r.notify, (std::vector<std::string>{"STOPPING=1"}));
  const std::string tail = r.lines().substr(r.lines().find("\n\n"));
  EXPECT_EQ(tail,
            "\n\n[INFO] Caught signal 15, shutting down...\n[INFO] Sending tally OFF before "
            "exit...\n[INFO] Goodbye!\n\n[INFO] Caught signal 2, shutting down...\n");
}

// A stop in each phase sends OFF once, at once, and nothing else.
TEST(Core, StopInEveryPhase) {
  for (const char* phase : {"waiting", "warming", "running"}) {
    Rig r;
    r.startOne(R"(, "watch_input_id": 2)");
    if (std::string(phase) != "waiting") r.accept();
    if (std::string(phase) == "running") r.advance(3500);
    r.take();
    r.stop();
    EXPECT_EQ(r.take(), (Sends{{"cam1", OFF, {}, r.ms()}})) << phase;
    EXPECT_TRUE(r.core->done) << phase;
    r.advance(10'000);
    EXPECT_TRUE(r.take().empty()) << phase;
  }
}

// At most one change per 50 ms per camera; a change that reverts within the hold-off is never
// sent; a lasting one goes when the hold-off ends. The switcher's tally list, once it comes,
// counts for "switcher" only (a keyed source is on air, a bus alone is not).
TEST(Core, HoldOffPerCameraAndTallySource) {
  Rig r;
  r.startMany(R"({"watch_input_id": 7}, {"watch_input_id": 8, "tally_source": "buses"})");
  r.connect(1, 2);
  r.take();
  r.send(busBlock("PrgI", 0, 7));
  r.advance(10);
  r.send(busBlock("PrgI", 0, 8));  // cam1 leaves PROGRAM 10 ms later; cam2 gets it at once
  EXPECT_EQ(r.take(), (Sends{{"cam1", PROGRAM, {}, 3500}, {"cam2", PROGRAM, {}, 3510}}));
  r.advance(39);
  EXPECT_TRUE(r.take().empty());
  r.advance(1);
  EXPECT_EQ(r.take(), (Sends{{"cam1", OFF, {}, 3550}}));
  r.advance(100);
  r.send(busBlock("PrgI", 0, 7));
  r.send(busBlock("PrgI", 0, 8));
  r.send(busBlock("PrgI", 0, 7));  // each camera's change reverted within its hold-off
  r.advance(200);
  EXPECT_EQ(r.take(), (Sends{{"cam1", PROGRAM, {}, 3650}, {"cam2", OFF, {}, 3650}}));
  r.send(tallyBlock({{7, 0}, {8, 1}}));
  EXPECT_EQ(r.take(), (Sends{{"cam1", OFF, {}, 3850}}));
}

// A camera whose delivery hangs (a TCP rung) delays nobody: the others and the switcher are
// served, and when it ends only the newest state follows. A failed delivery is counted.
TEST(Core, HangingAndFailingCameras) {
  Rig r;
  r.startMany(R"({"name": "ok", "watch_input_id": 1}, {"name": "dead", "watch_input_id": 1},
                 {"name": "bad", "watch_input_id": 2})",
              R"(, "log_changes": true)");
  r.outcome["dead"] = DeliveryStatus::RUNNING;
  r.outcome["bad"] = DeliveryStatus::FAILED;
  r.connect(1, 2);
  EXPECT_EQ(r.take().size(), 3u);
  for (uint16_t program : {3, 1, 3}) {
    r.send(Rig::buses(program, 2));
    r.advance(60);
  }
  EXPECT_EQ(r.take(),
            (Sends{{"ok", OFF, {}, 3500}, {"ok", PROGRAM, {}, 3560}, {"ok", OFF, {}, 3620}}));
  EXPECT_EQ(r.acks.size(), 6u) << "every packet acknowledged";
  r.finish("dead", DeliveryStatus::FAILED);
  EXPECT_EQ(r.take(), (Sends{{"dead", OFF, {}, 3680}})) << "the newest, once";
  EXPECT_EQ(coreStatus(*r.core),
            "connected to 127.0.0.1 \xC2\xB7 ok OFF \xC2\xB7 dead OFF (1 failed) \xC2\xB7 bad - (1 "
            "failed)");
  EXPECT_TRUE(r.logged("[ERR][UDP] bad: sendto() failed: Network is unreachable"));
  EXPECT_TRUE(r.logged("[WARN] bad: All send attempts failed for state PREVIEW"));
  EXPECT_TRUE(r.logged("[WARN] dead: All send attempts failed for state PROGRAM"));
  EXPECT_TRUE(r.logged("[TALLY] ok PROGRAM (input 1 on the program bus of M/E 0)"));
  EXPECT_TRUE(r.logged("[TALLY] dead OFF (input 1 on neither bus of M/E 0)"));

  // A stop while a delivery hangs: OFF at once for all, and the run ends when the last is over.
  r.outcome["dead"] = DeliveryStatus::RUNNING;
  r.send(Rig::buses(1, 2));
  r.take();
  r.stop();
  EXPECT_EQ(r.take().size(), 3u);
  EXPECT_FALSE(r.core->done);
  r.finish("dead", DeliveryStatus::DELIVERED);
  EXPECT_TRUE(r.core->done);
}

// With "off", a lost switcher darkens every lamp and stops the refreshes until the new session's
// initial state is in; the session is restored with its lines.
TEST(Core, RefreshLossAndRestore) {
  Rig r;
  r.startOne(R"(, "lamp_refresh_ms": 1000, "lamp_on_switcher_loss": "off")");
  r.connect(1, 2);
  r.take();
  for (int i = 0; i < 3; ++i) {
    r.advance(1000);
    r.send({});  // a ping: a sign of life, and no change
  }
  EXPECT_EQ(r.take(), (Sends{{"cam1", PROGRAM, {}, 4500}, {"cam1", PROGRAM, {}, 5500},
                             {"cam1", PROGRAM, {}, 6500}}));
  r.advance(5001);
  EXPECT_EQ(r.take(), (Sends{{"cam1", PROGRAM, {}, 7500}, {"cam1", PROGRAM, {}, 8500},
                             {"cam1", PROGRAM, {}, 9500}, {"cam1", PROGRAM, {}, 10500},
                             {"cam1", PROGRAM, {}, 11500}, {"cam1", OFF, {}, 11501}}))
      << "refreshed, then OFF once more than 5000 ms passed without a packet";
  EXPECT_TRUE(
      r.logged("[WARN] ATEM 127.0.0.1 silent for 5 s: the session is lost, opening a new one"));
  EXPECT_EQ(r.hellos, 2);
  EXPECT_EQ(coreStatus(*r.core), "lost 127.0.0.1, reconnecting \xC2\xB7 cam1 OFF");
  r.advance(3000);
  EXPECT_TRUE(r.take().empty()) << "no refresh while the switcher is lost";
  r.accept();
  EXPECT_TRUE(r.logged("[OK] ATEM 127.0.0.1 session restored"));
  EXPECT_TRUE(r.take().empty()) << "dark until the initial state is in";
  r.send(Rig::buses(1, 2) + atemBlock("InCm", {0, 0, 0, 0}));
  EXPECT_EQ(r.take(), (Sends{{"cam1", PROGRAM, {}, r.ms()}}));

  // "keep" holds the lamp through a loss.
  Rig k;
  k.startOne();
  k.connect(1, 2);
  k.take();
  k.advance(20'000);
  EXPECT_TRUE(k.take().empty());
}

TEST(Core, RefusalAndForeignSenders) {
  Rig r;
  r.startOne();
  r.receive(atemSynAnswer(0, 0x03));
  EXPECT_EQ(coreStatus(*r.core), "refused as full by 127.0.0.1 \xC2\xB7 cam1 -");
  EXPECT_TRUE(r.logged("[ERR] ATEM: Connection refused (switcher full)"));
  r.advance(5001);
  EXPECT_EQ(r.hellos, 2) << "asked again";

  coreForeignDatagram(*r.core, htonl(0x7F000002), 4000, r.now, r.acts);
  coreForeignDatagram(*r.core, htonl(0x7F000002), 4001, r.now, r.acts);
  r.perform();
  EXPECT_EQ(r.log.back(),
            "[WARN] Ignoring datagrams that do not come from the switcher: 1 so far, the latest "
            "from 127.0.0.2:4000");
}

// A reload without a new session: each camera gets what its change calls for, and a file that
// cannot be used changes nothing.
TEST(Core, ReloadPlans) {
  const std::string loopback = R"({"atem_ip": "127.0.0.1", "visca_host": "127.0.0.1", )";
  auto file = [&](const std::string& cameras) {
    return loopback + "\"cameras\": [" + cameras + "]}";
  };
  const std::string same = R"({"name": "same", "watch_input_id": 1})";
  Rig r;
  r.start(file(same + R"(, {"name": "gone", "watch_input_id": 1},
                         {"name": "port", "watch_input_id": 2},
                         {"name": "cmds", "watch_input_id": 2},
                         {"name": "input", "watch_input_id": 2},
                         {"name": "flags", "watch_input_id": 2})"));
  r.connect(1, 2);
  r.take();
  r.reload(file(same + R"(, {"name": "port", "watch_input_id": 2, "visca_port": 1259},
                         {"name": "cmds", "watch_input_id": 2,
                          "visca_preview": "81 01 7e 01 0a 00 03 ff"},
                         {"name": "input", "watch_input_id": 1},
                         {"name": "flags", "watch_input_id": 2, "compat_try_tcp": false},
                         {"name": "new", "watch_input_id": 2})"));
  // Removed and moved cameras get OFF where they were, then the moved and new ones their state.
  const Sends got = r.take();
  EXPECT_EQ(got, (Sends{{"gone", OFF, {}, 3500}, {"port", OFF, {}, 3500}, {"cmds", OFF, {}, 3500},
                        {"port", PREVIEW, {}, 3500}, {"cmds", PREVIEW, {}, 3500},
                        {"input", PROGRAM, {}, 3500}, {"new", PREVIEW, {}, 3500}}));
  EXPECT_TRUE(got.at(1).port == 52381 && got.at(3).port == 1259);
  EXPECT_EQ(got.at(2).bytes, hexBytes("81 01 7e 01 0a 01 00 ff")) << "the old OFF command";
  EXPECT_EQ(got.at(4).bytes, hexBytes("81 01 7e 01 0a 00 03 ff")) << "the new command";
  // Moved cameras (address or commands) start on a new link; the others keep theirs.
  EXPECT_EQ(r.links.size(), 6u);
  EXPECT_EQ(r.opened, (std::map<std::string, int>{{"cmds", 2}, {"flags", 1}, {"gone", 1},
                                                  {"input", 1}, {"new", 1}, {"port", 2},
                                                  {"same", 1}}));
  EXPECT_TRUE(r.logged("[OK] Config reloaded: 6 cameras"));
  EXPECT_EQ(r.notify, (std::vector<std::string>{"RELOADING=1\nMONOTONIC_USEC=3500000", "READY=1"}));
  EXPECT_EQ(r.acks.size(), 3u) << "the session stays";

  // A file that cannot be used: its line, and the bridge goes on as it was.
  LoadedConfig bad;
  bad.error = "Config missing 'visca_host'";
  coreReload(*r.core, bad, r.now, r.acts);
  r.perform();
  EXPECT_EQ(r.log.end()[-3], "[INFO] Reloading config from: /etc/quorvel.json");
  EXPECT_EQ(r.log.end()[-2], "[ERR] Config missing 'visca_host'");
  EXPECT_EQ(r.log.back(), "[WARN] The configuration in use stays");
  r.send(Rig::buses(2, 1));
  EXPECT_EQ(r.take().size(), 6u);

  // One that needs more open files than the bridge may have is refused too.
  r.core->openFileLimit = 30;
  r.reload(file(R"({"name": "a"}, {"name": "b"}, {"name": "c"}, {"name": "d", "watch_input_id": 3},
                  {"name": "e"})"));
  EXPECT_EQ(r.log.end()[-2],
            "[ERR] 5 cameras need up to 32 open files, but the limit is 30 (raise "
            "it: ulimit -n, or LimitNOFILE= in the unit)");
  EXPECT_TRUE(r.take().empty());
  EXPECT_EQ(r.core->cameras.size(), 6u);
}

// A reload that names another switcher opens a new session; the lamps hold until its state is in.
// With "off" that is a loss of this one: dark at once; a camera removed meanwhile still gets OFF.
TEST(Core, ReloadToAnotherSwitcher) {
  const std::string cams = R"({"name": "a"}, {"name": "b", "watch_input_id": 2})",
                    off = R"(, "lamp_on_switcher_loss": "off")";
  auto other = [](const std::string& top, const std::string& entries) {
    return R"({"atem_ip": "127.0.0.9", "visca_host": "127.0.0.1")" + top + ", \"cameras\": [" +
           entries + "]}";
  };
  Rig r;
  r.startMany(cams);
  r.connect(1, 2);
  r.take();
  r.reload(other("", cams));
  EXPECT_EQ(r.reopens, 2);
  EXPECT_EQ(r.hellos, 2);
  EXPECT_TRUE(r.logged("[INFO] Connecting to ATEM at 127.0.0.9..."));
  EXPECT_TRUE(r.take().empty());
  EXPECT_EQ(coreStatus(*r.core), "connecting to 127.0.0.9 \xC2\xB7 a PROGRAM \xC2\xB7 b PREVIEW");
  r.accept();
  r.send(Rig::buses(2, 1));
  EXPECT_TRUE(r.take().empty());
  r.send(atemBlock("InCm", {0, 0, 0, 0}));  // its initial state is complete
  EXPECT_EQ(r.take(), (Sends{{"a", PREVIEW, {}, 3500}, {"b", PROGRAM, {}, 3500}}));

  Rig d;
  d.startMany(cams, off);
  d.connect(1, 2);
  d.take();
  d.reload(other(off, cams));
  EXPECT_EQ(d.take(), (Sends{{"a", OFF, {}, 3500}, {"b", OFF, {}, 3500}}));
  d.advance(1000);
  d.reload(other("", R"({"name": "a"})"));
  EXPECT_EQ(d.take(), (Sends{{"b", OFF, {}, 4500}}));
}

// A switcher that resends what is not acknowledged after 200 ms, as real ones do, under loss,
// duplication and reordering of its packets. After each round of changes the faults stop, and
// once everything sent is acknowledged every lamp must show the switcher's buses.
// QUORVEL_SOAK_LAPS scales it up for a long run.
TEST(Core, LampsFollowTheSwitcherThroughFaults) {
  const char* lapsEnv = std::getenv("QUORVEL_SOAK_LAPS");
  const int laps = lapsEnv ? std::atoi(lapsEnv) : 1;
  std::mt19937 rng(20261208);
  auto chance = [&](int pct) { return static_cast<int>(rng() % 100) < pct; };
  Rig r;
  r.startMany(R"({"watch_input_id": 1}, {"watch_input_id": 2}, {"watch_input_id": 3})");
  r.connect(1, 2);
  uint16_t program = 1, preview = 2;

  struct Packet {
    uint16_t id;
    Bytes bytes;
    int64_t lastSentNs = 0;
    bool reachedWire = false;
  };
  std::deque<Packet> inFlight;
  std::multimap<int64_t, Bytes> wire;  // datagrams on their way, by arrival
  int lossPct = 0, duplicatePct = 0, reorderPct = 0, lost = 0, resent = 0;
  auto transmit = [&](Packet& p, bool resend) {
    p.lastSentNs = r.now;
    resent += resend;
    if (chance(lossPct)) return void(++lost);
    p.reachedWire = true;
    Bytes b = p.bytes;
    if (resend) b[0] |= 0x20;
    const int64_t at = r.now + (chance(reorderPct) ? (20 + rng() % 60) * kMs : 0);
    wire.emplace(at, b);
    if (chance(duplicatePct)) wire.emplace(at, b);
  };
  // Runs the clock for `ms`: arrivals, acknowledgements (cumulative, as a switcher counts them),
  // resends after 200 ms.
  auto run = [&](int64_t ms) {
    for (int64_t end = r.now + ms * kMs; r.now < end;) {
      int64_t next = std::min(end, r.now + 10 * kMs);
      if (!wire.empty()) next = std::min(next, std::max(r.now, wire.begin()->first));
      r.advanceTo(next);
      while (!wire.empty() && wire.begin()->first <= r.now) {
        Bytes b = wire.begin()->second;
        wire.erase(wire.begin());
        r.acks.clear();
        r.receive(b);
        for (uint16_t ack : r.acks)
          while (!inFlight.empty() && inFlight.front().reachedWire &&
                 ((ack - inFlight.front().id) & kAtemIdMask) < 0x4000)
            inFlight.pop_front();
      }
      for (Packet& p : inFlight)
        if (r.now - p.lastSentNs >= 200 * kMs) transmit(p, true);
    }
  };
  auto lamp = [&](const std::string& cam) {
    for (auto it = r.sent.rbegin(); it != r.sent.rend(); ++it)
      if (it->camera == cam) return it->state;
    return static_cast<TallyState>(-1);
  };
  std::vector<std::string> wrong;
  for (int lap = 0; lap < laps; ++lap) {
    for (int faults : {0, 1, 2, 3}) {
      lossPct = faults == 1 || faults == 3 ? 10 : 0;
      duplicatePct = faults == 2 || faults == 3 ? 20 : 0;
      reorderPct = faults >= 2 ? 20 : 0;
      for (int i = 0; i < 30; ++i) {
        if (rng() % 2)
          std::swap(program, preview);
        else
          (rng() % 2 ? program : preview) = static_cast<uint16_t>(1 + rng() % 4);
        const uint16_t id = r.nextId++;
        inFlight.push_back({id, atemPacket(0x08, kSession, id, Rig::buses(program, preview))});
        transmit(inFlight.back(), false);
        run(60 + rng() % 41);
      }
      lossPct = duplicatePct = reorderPct = 0;
      run(2000);
      EXPECT_TRUE(inFlight.empty()) << "round " << faults << ": unacknowledged packets";
      for (int cam = 1; cam <= 3; ++cam) {
        TallyState want = program == cam ? PROGRAM : preview == cam ? PREVIEW : OFF;
        if (lamp("cam" + std::to_string(cam)) != want)
          wrong.push_back("lap " + std::to_string(lap) + " round " + std::to_string(faults) +
                          " cam" + std::to_string(cam));
      }
    }
  }
  EXPECT_TRUE(wrong.empty()) << wrong.size() << " wrong, the first: " << wrong.at(0);
  EXPECT_GT(lost, 3 * laps);
  EXPECT_GE(resent, lost);
}

// Packets beyond a lost one are held and applied as soon as it comes, not when the switcher
// sends them again; ids that never come are given up after 1 s and named.
TEST(Core, LostPacketsHeldNamedAndGivenUp) {
  Rig r;
  r.startOne();
  r.connect(1, 2);
  r.take();
  const uint16_t lost = r.nextId++;
  r.send(Rig::buses(2, 1));
  r.send(Rig::buses(3, 1));
  EXPECT_TRUE(r.take().empty()) << "held behind the lost one";
  const size_t acked = r.acks.size();
  r.advance(200);
  r.receive(atemPacket(0x28, kSession, lost, Rig::buses(1, 3)));
  EXPECT_EQ(r.take(), (Sends{{"cam1", PREVIEW, {}, 3700}})) << "the newest, at once";
  EXPECT_EQ(std::vector<uint16_t>(r.acks.begin() + acked, r.acks.end()),
            (std::vector<uint16_t>{lost, uint16_t(lost + 1), uint16_t(lost + 2)}));
  r.nextId += 2;
  r.send(Rig::buses(1, 2));
  r.advance(999);
  EXPECT_TRUE(r.take().empty());
  r.advance(1);
  EXPECT_EQ(r.take(), (Sends{{"cam1", PROGRAM, {}, 4700}}));
  EXPECT_EQ(r.log.back(), "[WARN] ATEM packets " + std::to_string(lost + 3) + " to " +
                              std::to_string(lost + 4) +
                              " never came within 1 s; going on without them");
}

// A delivery that fails is tried again after 1 s, 2 s, 4 s ... up to 30 s, until one gets
// through; a change meanwhile goes at once.
TEST(Core, FailedDeliveriesTriedAgain) {
  Rig r;
  r.startOne();
  r.outcome["cam1"] = DeliveryStatus::FAILED;
  r.connect(1, 2);
  r.idle(1000 + 2000 + 4000 + 8000 + 16000 + 30000 + 30000);
  std::vector<int64_t> at;
  for (const Sent& s : r.take()) at.push_back(s.atMs);
  EXPECT_EQ(at, (std::vector<int64_t>{3500, 4500, 6500, 10500, 18500, 34500, 64500, 94500}));
  r.outcome.erase("cam1");
  r.send(Rig::buses(2, 1));
  r.idle(60'000);
  EXPECT_EQ(r.take(), (Sends{{"cam1", PREVIEW, {}, 94500}})) << "then no more";
  EXPECT_EQ(coreStatus(*r.core), "connected to 127.0.0.1 \xC2\xB7 cam1 PREVIEW (8 failed)");
}

// What cameras answer: an acknowledgement marks the camera answering; an error shows in the
// status and gets one line per delivery and per 10 s; requests to open again one per 10 s. Each
// line then says how many it stands for.
TEST(Core, CameraAnswersAndFloodsOfLines) {
  Rig r;
  r.startMany(R"({"name": "a"}, {"name": "b"})");
  r.connect(1, 2);
  const Bytes ack = hexBytes("90 41 ff"), error = hexBytes("90 61 41 ff");
  auto answer = [&](size_t cam, const Bytes& bytes, int times) {
    for (int i = 0; i < times; ++i)
      coreCameraAnswer(*r.core, r.core->cameras[cam]->id, bytes.data(), bytes.size(), &kProgram,
                       r.now, r.acts);
    r.perform();
  };
  const size_t before = r.log.size();
  answer(0, ack, 1);
  answer(1, error, 256);
  EXPECT_EQ(coreStatus(*r.core),
            "connected to 127.0.0.1 \xC2\xB7 a PROGRAM (answering) \xC2\xB7 b PROGRAM (error 41)");
  r.send(Rig::buses(2, 1));
  answer(1, error, 10);
  r.idle(10'000);
  r.send(Rig::buses(1, 2));
  answer(1, error, 3);
  const std::string line =
      "[WARN] b: Camera answered 81 01 7e 01 0a 01 05 ff with error 41 (not executable)";
  EXPECT_EQ(std::vector<std::string>(r.log.begin() + before, r.log.end()),
            (std::vector<std::string>{line, line + "; 265 more left out"}));
  for (int i = 0; i < 5; ++i) {
    r.receive(atemSynAnswer(kSession, 0x04));
    r.receive(atemSynAnswer(0, 0x02));
    r.advance(4000);
  }
  EXPECT_EQ(std::count(r.log.begin(), r.log.end(), "[ATEM] Reconnect requested, resending SYN"), 1);
  EXPECT_EQ(r.log.back(), "[ATEM] Reconnect requested, resending SYN; 2 more left out");
  EXPECT_EQ(r.hellos, 6) << "asked again each time";
}

// A switcher that never answers is said to be silent after 10 s, then once a minute, and when it
// answers, so. Its names for the sources then stand in the change lines and the status, and a
// camera that watches a source it does not have is told so once; so is a camera a reload adds.
// A camera's name, from the file, cannot forge a line or a field of the status: control bytes
// are escaped.
TEST(Core, SilentSwitcherNamedSourcesAndHostileNames) {
  const std::string wideIn = R"("x\nMAINPID=1\nSTOPPING=1")", goneIn = R"("caf\u00e9\u001b[31m")";
  const std::string wide = "x\\nMAINPID=1\\nSTOPPING=1", gone = "caf\xC3\xA9\\x1b[31m";
  const std::string cams = "{\"name\": " + wideIn + "}, {\"name\": " + goneIn +
                           ", \"watch_input_id\": 42}";
  Rig r;
  r.startMany(cams, R"(, "log_changes": true)");
  r.advance(9'999);
  EXPECT_EQ(r.log.size(), 1u) << r.lines();
  r.advance(1);
  const std::string silent = "[WARN] No answer from the switcher at 127.0.0.1 after ";
  EXPECT_EQ(r.log.back(),
            silent + "10 s; check atem_ip and that the switcher is on this network");
  r.advance(60'000);
  EXPECT_EQ(r.log.back(),
            silent + "70 s; check atem_ip and that the switcher is on this network");
  r.accept();
  EXPECT_TRUE(r.logged("[OK] ATEM 127.0.0.1 answers"));
  auto inPr = [](uint16_t id, const char* longName, const char* shortName) {
    Bytes data(26, 0xEE);  // after the NUL, what the switcher had there
    putBe16(&data[0], id);
    std::memcpy(&data[2], longName, std::strlen(longName) + 1);
    std::memcpy(&data[22], shortName, std::min<size_t>(4, std::strlen(shortName) + 1));
    return atemBlock("InPr", data);
  };
  r.send(inPr(1, "Camera 1", "Cam1") + inPr(2, "Twenty chars exactly", "CAM2") +
         Rig::buses(1, 2) + atemBlock("InCm", {0, 0, 0, 0}));
  EXPECT_TRUE(r.logged("[WARN] " + gone + ": the switcher names no source 42; this lamp can never "
                       "light (check watch_input_id)"));
  r.advance(3500);
  EXPECT_TRUE(r.logged("[TALLY] " + wide +
                       " PROGRAM (input 1 \"Camera 1\" on the program bus of M/E 0)"))
      << r.lines();
  EXPECT_EQ(coreStatus(*r.core), "connected to 127.0.0.1 \xC2\xB7 " + wide +
                                     " PROGRAM (input 1 \"Camera 1\") \xC2\xB7 " + gone +
                                     " OFF (input 42)");
  r.reload(R"({"atem_ip": "127.0.0.1", "visca_host": "127.0.0.1", "cameras": [)" + cams +
           R"(, {"name": "two", "watch_input_id": 2}, {"name": "nine", "watch_input_id": 9}]})");
  EXPECT_TRUE(r.logged("[OK] Camera two: ME=0 watch_input=2 -> 127.0.0.1:52381 | tally from the "
                       "switcher's list, also prefixed, also TCP"));
  EXPECT_EQ(countOf(r.lines(), "names no source"), 2) << "gone once, nine once";
  for (const std::string& line : r.log) EXPECT_EQ(line.find('\n'), std::string::npos) << line;
}

// The outputs beside the cameras, against a real switcher's initial state: TSL 5.0 showing every
// source it names by its long name, TSL 3.1 showing two chosen sources, the tally server's
// digits; changes sent as they come and only what changed, the refresh, OFF at the stop.
TEST(Core, OutputsFollowTheModel) {
  Rig r;
  std::string tsl = R"(, "tsl": [{"host": "127.0.0.1", "port": 9000},
      {"protocol": "3.1", "transport": "tcp", "host": "127.0.0.1", "port": 9001, "refresh_ms": 0,
       "sources": [{"source": 3, "index": 0, "label": "Stage left"}, {"source": 1}]}])";
  r.startOne(tsl + R"(, "tally_server": {"listen": "127.0.0.1:8099"})");
  const uint32_t v5 = r.core->outputs.tsl.at(0)->id, v31 = r.core->outputs.tsl.at(1)->id;
  const uint32_t server = r.core->outputs.server->id;
  coreOutputTcp(*r.core, v31, true, "", r.acts);
  r.accept();
  // Nothing until the packet that ends the initial state (InCm); then everything at once.
  for (const Bytes& payload : readDump("2me-v8.1.data")) {
    EXPECT_TRUE(r.outputSent.empty() && r.sent.empty());
    r.send(payload);
  }
  EXPECT_EQ(r.take(), (Sends{{"cam1", PROGRAM, {}, 0}}));

  // TSL 5.0, read here by its layout (the header's bytes are checked in tsl_test): index, control,
  // length and text per display.
  auto displays5 = [](const Bytes& p) {
    std::map<uint16_t, std::pair<uint16_t, std::string>> out;
    for (size_t at = 6; at + 6 <= p.size();) {
      const uint16_t length = getLe16(&p[at + 4]);
      out[getLe16(&p[at])] = {getLe16(&p[at + 2]),
                              std::string(p.begin() + at + 6, p.begin() + at + 6 + length)};
      at += 6 + length;
    }
    return out;
  };
  ASSERT_EQ(r.outputSent[v5].size(), 1u);
  auto shown = displays5(r.outputSent[v5][0]);
  EXPECT_EQ(shown.size(), 37u);  // every source the dump names, Black to the auxiliaries
  const uint16_t red = 0xC0 | 1 << 4 | 1 << 2 | 1, green = 0xC0 | 2 << 4 | 2 << 2 | 2;
  EXPECT_EQ(shown[1], std::make_pair(red, std::string("Camera 1")));
  EXPECT_EQ(shown[9], std::make_pair(green, std::string("MP1")));
  EXPECT_EQ(shown[11], std::make_pair(uint16_t{0xC0}, std::string("MP2 (Fullskjerm)")));
  EXPECT_EQ(shown[8006], std::make_pair(uint16_t{0xC0}, std::string("Auxiliary 6")));
  // TSL 3.1: 0x80 + address, tallies (1: program) and brightness 3, 16 bytes of text.
  auto text = [](const std::string& t) { return Bytes(t.begin(), t.end()); };
  const Bytes stage = Bytes{0x80, 0x30} + text("Stage left      ");
  const Bytes cam1 = Bytes{0x81, 0x31} + text("Cam1            ");
  EXPECT_EQ(r.outputSent[v31], (std::vector<Bytes>{stage, cam1}));
  const std::string digits = "1000000020001111";  // inputs 1-16: the highest external it names
  EXPECT_EQ(r.outputSent[server], std::vector<Bytes>{text(digits)});

  // A cut to input 3: only the displays that changed, at once.
  r.outputSent.clear();
  r.advance(100);
  r.send(tallyBlock({{3, 1}, {1, 2}}));
  EXPECT_EQ(displays5(r.outputSent[v5].at(0)).size(), 7u);  // 1, 3, 9 and 13-16 changed
  ASSERT_EQ(r.outputSent[v31].size(), 2u);
  EXPECT_EQ(r.outputSent[v31][0][1], 0x31);  // stage: program
  EXPECT_EQ(r.outputSent[v31][1][1], 0x32);  // camera 1: preview on tally 2
  r.outputSent.clear();
  r.send({});  // nothing changed, nothing sent
  EXPECT_TRUE(r.outputSent.empty());

  // The 5.0 output's refresh every second, everything again; the 3.1 one has none.
  r.advance(1000);
  ASSERT_EQ(r.outputSent[v5].size(), 1u);
  EXPECT_EQ(displays5(r.outputSent[v5][0]).size(), 37u);
  EXPECT_EQ(r.outputSent.count(v31), 0u);

  // A receiver lost and back: one line each, however often it fails; every display on return.
  coreOutputTcp(*r.core, v31, false, "connect() failed: Connection refused", r.acts);
  coreOutputTcp(*r.core, v31, false, "connect() failed: Connection refused", r.acts);
  coreOutputTcp(*r.core, v31, true, "", r.acts);
  r.outputSent.clear();
  r.perform();
  EXPECT_EQ(r.outputSent[v31].size(), 2u);
  EXPECT_TRUE(holds(r.lines(), "[WARN] tsl2: TSL receiver 127.0.0.1:9001 lost (connect() failed: "
                               "Connection refused); trying again every 1 s to 30 s\n[OK] tsl2: "
                               "TSL receiver 127.0.0.1:9001 connected again\n"));
  coreTallyClients(*r.core, 3);
  EXPECT_TRUE(holds(coreStatus(*r.core), "TSL 2 of 2 up, 3 tally clients"));

  // A reload keeps what it does not change; a receiver moved is a new output, which gets every
  // display at once; the tally server's new inputs are sent at once.
  tsl.replace(tsl.find("9001"), 4, "9002");
  r.outputLinks.clear();
  r.outputSent.clear();
  r.reload(R"({"atem_ip": "127.0.0.1", "visca_host": "127.0.0.1")" + tsl +
           R"(, "tally_server": {"listen": "127.0.0.1:8099", "inputs": [3, 1]}})");
  const uint32_t moved = r.core->outputs.tsl.at(1)->id;
  EXPECT_EQ(r.outputLinks, (std::vector<std::string>{"open " + std::to_string(moved),
                                                     "close " + std::to_string(v31)}));
  EXPECT_EQ(r.outputSent[server], std::vector<Bytes>{text("12")});
  EXPECT_EQ(r.outputSent.count(v5), 0u);
  coreOutputTcp(*r.core, moved, true, "", r.acts);
  r.perform();
  EXPECT_EQ(r.outputSent[moved].size(), 2u);

  // The stop darkens every display and input.
  r.outputSent.clear();
  r.stop();
  for (const auto& d : displays5(r.outputSent[v5].at(0))) EXPECT_EQ(d.second.first, 0xC0);
  EXPECT_EQ(r.outputSent[moved].size(), 2u);
  EXPECT_EQ(r.outputSent[server].at(0), text("00"));
}
