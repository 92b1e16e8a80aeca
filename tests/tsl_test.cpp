// The tally outputs for other equipment: TSL UMD encoders byte for byte, the vMix-style tally
// server's conversation with one client, and the watch tool (its decoders written from the
// layouts, apart from the encoders) reading what they send over loopback.
#include "tsl/tsl.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "vmix/vmix_tally.h"

using namespace testing_support;

namespace {

// Hex pairs with literal text between single quotes: "0f 00 'Cam 1' ff".
Bytes wire(const std::string& s) {
  Bytes out;
  size_t at = 0;
  for (bool text = false; at <= s.size(); text = !text) {
    size_t end = std::min(s.find('\'', at), s.size());
    std::string piece = s.substr(at, end - at);
    Bytes part = text ? Bytes(piece.begin(), piece.end()) : hexBytes(piece);
    out.insert(out.end(), part.begin(), part.end());
    at = end + 1;
  }
  return out;
}

TEST(Tsl31, MessagesAddressTalliesBrightnessAndText) {
  struct Case {
    Tsl31Display display;
    std::string message;
  } cases[] = {
      {{0, 0, 0, ""}, "80 00 '                '"},
      {{5, 0x09, 3, "CAM 1"}, "85 39 'CAM 1           '"},
      {{126, 0x0F, 2, "exactly sixteen!"}, "fe 2f 'exactly sixteen!'"},
      {{1, 0x02, 1, "seventeen chars!!"}, "81 12 'seventeen chars!'"},
      {{2, 0x04, 0, "a\tb\x7f\xc3\xa9~ "}, "82 04 'a?b???~         '"},  // é is two bytes
      {{200, 0xFF, 7, "x"}, "fe 3f 'x               '"},                 // cut to the fields
  };
  for (const Case& c : cases) EXPECT_EQ(tsl31Message(c.display), wire(c.message)) << c.message;
}

TEST(Tsl5, PacketsByteExact) {
  struct Case {
    uint16_t screen;
    std::vector<Tsl5Display> displays;
    std::string packet;
  } cases[] = {
      // right amber (3), text green (2 << 2), left red (1 << 4), brightness 3 (<< 6): db
      {0,
       {{1, kTslRed, kTslGreen, kTslAmber, 3, "Cam 1"}},
       "0f 00 00 00 00 00 01 00 db 00 05 00 'Cam 1'"},
      {0x0102,
       {{0x1234, kTslOff, kTslOff, kTslOff, 0, ""},
        {0xFFFF, kTslGreen, kTslOff, kTslRed, 2, "é\n"}},
       "13 00 00 00 02 01 34 12 00 00 00 00 ff ff a1 00 03 00 3f 3f 3f"},  // ???
      {7,
       {{254, 9, 6, 5, 7, "x"}},
       "0b 00 00 00 07 00 fe 00 d9 00 01 00 'x'"},  // cut to the fields
      {0, {}, ""},
  };
  for (const Case& c : cases) {
    std::vector<Bytes> packets = tsl5Packets(c.screen, c.displays);
    Bytes all;
    for (const Bytes& p : packets) all.insert(all.end(), p.begin(), p.end());
    EXPECT_EQ(packets.size(), c.displays.empty() ? 0u : 1u) << c.packet;
    EXPECT_EQ(all, wire(c.packet)) << c.packet;
  }
}

// Displays fill a packet up to 2048 bytes; the one that does not fit starts the next, whole.
TEST(Tsl5, PacketsSplitAt2048Bytes) {
  struct Case {
    std::vector<size_t> texts;  // text size per display
    std::vector<size_t> sizes;  // packet sizes
  } cases[] = {
      {{1000, 1030, 0}, {2048, 12}},  // 6 + 1006 + 1036 = 2048 exactly
      {{1000, 1031, 0}, {1012, 1049}},
      {{3000}, {2048}},  // a text longer than any packet is cut to fit
      {{3000, 1}, {2048, 13}},
      {std::vector<size_t>(400, 0), {2046, 366}},  // 340 empty displays per packet
  };
  for (const Case& c : cases) {
    std::vector<Tsl5Display> displays;
    for (size_t i = 0; i < c.texts.size(); ++i)
      displays.push_back(
          {uint16_t(i), kTslRed, kTslOff, kTslGreen, 3, std::string(c.texts[i], 'x')});
    std::vector<Bytes> packets = tsl5Packets(0x0201, displays);
    std::vector<size_t> sizes;
    size_t next = 0;  // index of the next display: none lost, none repeated, in order
    for (const Bytes& p : packets) {
      sizes.push_back(p.size());
      ASSERT_GE(p.size(), 6u);
      EXPECT_EQ(getLe16(p.data()), p.size() - 2);
      EXPECT_EQ(getLe16(&p[4]), 0x0201);
      for (size_t at = 6; at < p.size(); at += 6 + getLe16(&p[at + 4]), ++next) {
        ASSERT_LE(at + 6, p.size());
        EXPECT_EQ(getLe16(&p[at]), next);
        EXPECT_EQ(getLe16(&p[at + 2]), 0xD2);  // right green, left red, brightness 3
        EXPECT_EQ(getLe16(&p[at + 4]), std::min<size_t>(c.texts[next], kTsl5MaxText));
      }
    }
    EXPECT_EQ(sizes, c.sizes);
    EXPECT_EQ(next, c.texts.size());
  }
}

TEST(Tsl5, DleStxDoublesEveryFe) {
  for (auto [packet, framed] : std::vector<std::pair<std::string, std::string>>{
           {"", "fe 02"},
           {"01 02 03", "fe 02 01 02 03"},
           {"fe", "fe 02 fe fe"},
           {"01 fe 02 fe fe", "fe 02 01 fe fe 02 fe fe fe fe"}})
    EXPECT_EQ(dleStx(hexBytes(packet)), hexBytes(framed)) << packet;
}

bool feed(VmixClient& c, const std::string& in, const std::string& digits, std::string& out) {
  return vmixFeed(c, reinterpret_cast<const uint8_t*>(in.data()), in.size(), digits, out);
}

TEST(VmixTally, Conversation) {
  // Each step: what arrives (in one read), or "!" + digits for a change of the tally; the bytes
  // answered.
  struct Step {
    std::string in, out;
  } steps[] = {
      {"TALLY\r\n", "TALLY OK 012\r\n"},
      {"!210", ""},  // not subscribed: no change line
      {"SUBSCRIBE TALLY\r\n", "SUBSCRIBE OK TALLY\r\nTALLY OK 210\r\n"},
      {"!012", "TALLY OK 012\r\n"},
      {"FUNCTION Cut\r\n", "FUNCTION ER Not supported\r\n"},
      {"SUBSCRIBE ACTS\r\nXML\n", "SUBSCRIBE ER Not supported\r\nXML ER Not supported\r\n"},
      {"\r\n\n  \r\n", ""},  // empty lines
      {"UNSUBSCR", ""},      // a line split across reads
      {"IBE TALLY", ""},
      {"\r", ""},
      {"\n", "UNSUBSCRIBE OK TALLY\r\n"},
      {"!000", ""},
      {"  subscribe\ttally \n", "SUBSCRIBE OK TALLY\r\nTALLY OK 000\r\n"},  // any case, spaces
      {"!120", "TALLY OK 120\r\n"},
      {"tally\n", "TALLY OK 120\r\n"},
  };
  VmixClient client;
  std::string digits = vmixDigits({VmixTally::OFF, VmixTally::PROGRAM, VmixTally::PREVIEW});
  for (const Step& s : steps) {
    std::string out;
    if (s.in[0] == '!') {
      digits = s.in.substr(1);
      vmixChanged(client, digits, out);
    } else {
      EXPECT_TRUE(feed(client, s.in, digits, out)) << s.in;
    }
    EXPECT_EQ(out, s.out) << s.in;
  }
}

// A line of 1024 bytes is answered; one byte more closes the connection, also when the bytes
// come in pieces and before the line end arrives. Answers to earlier lines are kept.
TEST(VmixTally, LinesOver1024BytesClose) {
  const std::string max(1024, 'X');
  struct Case {
    std::vector<std::string> reads;
    bool open;
    std::string out;
  } cases[] = {
      {{max + "\r\n"}, true, max + " ER Not supported\r\n"},
      {{max.substr(0, 1000), max.substr(1000), "\r", "\n"}, true, max + " ER Not supported\r\n"},
      {{"TALLY\n" + max + "X"}, false, "TALLY OK 1\r\n"},
      {{max + "\rX"}, false, ""},
      {{max, "X\n"}, false, ""},
      {{max + "X" + max}, false, ""},
  };
  for (const Case& c : cases) {
    VmixClient client;
    std::string out;
    bool open = true;
    for (const std::string& r : c.reads) open = open && feed(client, r, "1", out);
    EXPECT_EQ(open, c.open) << c.reads[0].substr(0, 8) << " " << c.reads.size();
    EXPECT_EQ(out, c.out);
  }
}

// The watch tool, started on loopback with --json, and what it prints for what is sent to it.
struct Watch {
  Child child;
  sockaddr_in at{};
  Watch(const std::string& ip, std::vector<std::string> args) {
    args.insert(args.begin(), std::string(QUORVEL_BINARY_DIR) + "/quorvel-tally-watch");
    args.insert(args.end(), {"--listen", ip + ":0", "--json"});
    startChild(child, args, {});
    EXPECT_TRUE(waitForOutput(child, "\"port\":", 5000)) << child.err;
    size_t port = child.out.find("\"port\":");
    at = loopbackAddr(ip, port == std::string::npos ? 0 : std::stoi(child.out.substr(port + 7)));
  }
  // Sends each piece (a datagram, or one write on one connection) and waits for `lines`.
  void send(bool tcp, const std::vector<Bytes>& pieces, const std::vector<std::string>& lines) {
    int fd = ::socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
    for (const Bytes& p : pieces) {
      EXPECT_EQ(::send(fd, p.data(), p.size(), 0), ssize_t(p.size()));
      usleep(20000);
    }
    ::close(fd);
    for (const std::string& line : lines)
      EXPECT_TRUE(waitForOutput(child, line, 3000)) << line << "\nnot in:\n" << child.out;
  }
};

// What the tool prints for a TSL 5.0 display (colours: left, text, right).
std::string shown5(int screen, int index, const std::string& colours, int brightness,
                   const std::string& text) {
  std::string c[3],
      out = "\"screen\":" + std::to_string(screen) + ",\"index\":" + std::to_string(index);
  std::istringstream(colours) >> c[0] >> c[1] >> c[2];
  return out + ",\"left\":\"" + c[0] + "\",\"text_tally\":\"" + c[1] + "\",\"right\":\"" + c[2] +
         "\",\"brightness\":" + std::to_string(brightness) + ",\"text\":\"" + text + "\"}";
}

TEST(TallyWatch, ShowsWhatTheEncodersSend) {
  Watch t31("127.0.3.1", {"--tsl31"}), t5tcp("127.0.3.2", {"--tsl5", "--tcp"}),
      t5udp("127.0.3.3", {"--tsl5", "--udp"});
  t31.send(false, {tsl31Message({3, 0x05, 2, "Wide"}), tsl31Message({126, 0x08, 0, "\"q\""})},
           {R"("address":3,"tallies":[true,false,true,false],"brightness":2,)"
            R"("text":"Wide            "})",
            R"("address":126,"tallies":[false,false,false,true],"brightness":0,)"
            R"("text":"\"q\"             "})"});

  // Two packets (FE in the screen, indexes and a length) as one stream cut at odd places.
  std::vector<Tsl5Display> displays = {{0xFE, kTslRed, kTslOff, kTslOff, 3, std::string(254, 'a')},
                                       {0xFEFE, kTslOff, kTslAmber, kTslGreen, 1, "Close"},
                                       {2, kTslOff, kTslOff, kTslOff, 0, std::string(2000, 'b')}};
  Bytes stream;
  for (const Bytes& p : tsl5Packets(0xFE, displays)) {
    Bytes framed = dleStx(p);
    stream.insert(stream.end(), framed.begin(), framed.end());
  }
  std::vector<Bytes> pieces;
  for (size_t at = 0; at < stream.size(); at += 333)
    pieces.emplace_back(stream.begin() + at, stream.begin() + std::min(at + 333, stream.size()));
  t5tcp.send(true, pieces,
             {shown5(254, 254, "RED OFF OFF", 3, std::string(254, 'a')),
              shown5(254, 65278, "OFF AMBER GREEN", 1, "Close"),
              shown5(254, 2, "OFF OFF OFF", 0, std::string(2000, 'b')), R"("event":"closed")"});
  t5udp.send(false, tsl5Packets(9, {{7, kTslGreen, kTslRed, kTslOff, 2, "Cam\t7"}}),
             {shown5(9, 7, "GREEN RED OFF", 2, "Cam?7")});
  EXPECT_FALSE(holds(t31.child.out + t5tcp.child.out, "error"));
  signalChild(t5udp.child, SIGTERM);
  EXPECT_EQ(waitChild(t5udp.child, 3000), 0);
  EXPECT_TRUE(holds(t5udp.child.out, R"("event":"stopped")"));
}

TEST(TallyWatch, RefusesAddressesOutsideLoopbackAndWrongUse) {
  const std::string bin = std::string(QUORVEL_BINARY_DIR) + "/quorvel-tally-watch";
  for (std::vector<std::string> args :
       std::vector<std::vector<std::string>>{{"--tsl31", "--listen", "10.0.0.1:9000"},
                                             {"--vmix", "--connect", "192.168.1.5:8099"},
                                             {"--tsl5", "--listen", "127.0.0.1"},
                                             {"--tsl31", "--dle-stx", "--listen", "127.0.0.1:0"},
                                             {"--vmix", "--tcp", "--connect", "127.0.0.1:8099"},
                                             {"--listen", "127.0.0.1:0"}}) {
    Child c;
    args.insert(args.begin(), bin);
    startChild(c, args, {});
    EXPECT_EQ(waitChild(c, 3000), 2) << args[1] << " " << args[2];
    EXPECT_TRUE(holds(c.err, "quorvel-tally-watch: "));
  }
}

// The watch tool connects, subscribes and decodes the server's lines.
TEST(TallyWatch, VmixClientDecodesTheServersLines) {
  TcpListener server("127.0.3.10");
  Child watch;
  startChild(watch,
             {std::string(QUORVEL_BINARY_DIR) + "/quorvel-tally-watch", "--vmix", "--connect",
              "127.0.3.10:" + std::to_string(server.port), "--json"},
             {});
  pollfd p{server.fd, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1) << watch.err;
  int fd = ::accept(server.fd, nullptr, nullptr);
  char buf[256];
  p = {fd, POLLIN, 0};
  const ssize_t n = ::poll(&p, 1, 5000) == 1 ? ::recv(fd, buf, sizeof buf, 0) : 0;
  EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "SUBSCRIBE TALLY\r\n");
  const std::string out = "SUBSCRIBE OK TALLY\r\nTALLY OK 012\r\nTALLY OK 2001\r\nHELLO\n";
  ASSERT_EQ(::send(fd, out.data(), out.size(), 0), ssize_t(out.size()));
  ::close(fd);
  for (const char* line : {R"("line":"SUBSCRIBE OK TALLY"})",
                           R"("line":"TALLY OK 012","tally":["OFF","PROGRAM","PREVIEW"]})",
                           R"("line":"TALLY OK 2001","tally":["PREVIEW","OFF","OFF","PROGRAM"]})",
                           R"("line":"HELLO"})", R"("event":"closed")"})
    EXPECT_TRUE(waitForOutput(watch, line, 3000)) << line << "\nnot in:\n" << watch.out;
}

}  // namespace
