// TSL UMD encoders byte for byte, a TSL 3.1 receiver written here from the layout, and the watch
// tool reading what the encoders send over loopback.
#include "tsl/tsl.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

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

// A receiver from the layout alone reads back every address, tally and brightness from one
// stream of messages, as a TCP receiver would.
TEST(Tsl31, ReceiverFromTheLayoutReadsEveryField) {
  std::vector<Tsl31Display> sent;
  Bytes stream;
  for (int a = 0; a <= 126; ++a)
    for (int t = 0; t < 16; ++t)
      for (int b = 0; b < 4; ++b) {
        sent.push_back({uint8_t(a), uint8_t(t), uint8_t(b), std::to_string(a * 64 + t * 4 + b)});
        Bytes m = tsl31Message(sent.back());
        stream.insert(stream.end(), m.begin(), m.end());
      }
  ASSERT_EQ(stream.size(), sent.size() * 18);
  for (size_t i = 0; i < sent.size(); ++i) {
    const uint8_t* m = &stream[i * 18];
    ASSERT_GE(m[0], 0x80);
    std::string text(reinterpret_cast<const char*>(m + 2), 16);
    text.erase(text.find_last_not_of(' ') + 1);
    EXPECT_EQ(m[0] - 0x80, sent[i].address);
    EXPECT_EQ(m[1] & 0x0F, sent[i].tallies);
    EXPECT_EQ(m[1] >> 4 & 3, sent[i].brightness);
    EXPECT_EQ(m[1] & 0xC0, 0);
    EXPECT_EQ(text, sent[i].text);
  }
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
  EXPECT_EQ(t31.child.out.find("error"), std::string::npos) << t31.child.out;
  EXPECT_EQ(t5tcp.child.out.find("error"), std::string::npos) << t5tcp.child.out;
  signalChild(t5udp.child, SIGTERM);
  EXPECT_EQ(waitChild(t5udp.child, 3000), 0);
  EXPECT_NE(t5udp.child.out.find(R"("event":"stopped")"), std::string::npos);
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
    EXPECT_NE(c.err.find("quorvel-tally-watch: "), std::string::npos);
  }
}

}  // namespace
