// The tally server's conversation with one client, and the watch tool as that client.
#include "vmix/vmix_tally.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_support.h"

using namespace testing_support;

namespace {

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
  std::string digits = "012";
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

TEST(VmixTally, DigitsAndTallyLine) {
  using T = VmixTally;
  EXPECT_EQ(vmixDigits({T::OFF, T::PROGRAM, T::PREVIEW, T::OFF}), "0120");
  EXPECT_EQ(vmixDigits({}), "");
  EXPECT_EQ(vmixTallyLine("0120"), "TALLY OK 0120\r\n");
}

// The watch tool connects, subscribes and decodes what a server built on vmixFeed answers.
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
  VmixClient client;
  std::string out, digits = vmixDigits({VmixTally::OFF, VmixTally::PROGRAM, VmixTally::PREVIEW});
  char buf[256];
  for (int i = 0; i < 50 && out.empty(); ++i) {
    p = {fd, POLLIN, 0};
    ssize_t n = ::poll(&p, 1, 100) == 1 ? ::recv(fd, buf, sizeof buf, 0) : 0;
    ASSERT_TRUE(feed(client, std::string(buf, n > 0 ? n : 0), digits, out));
  }
  EXPECT_TRUE(client.subscribed);
  vmixChanged(client, "2001", out);
  out += "HELLO\n";
  ASSERT_EQ(::send(fd, out.data(), out.size(), 0), ssize_t(out.size()));
  ::close(fd);
  for (const char* line : {R"("line":"SUBSCRIBE OK TALLY"})",
                           R"("line":"TALLY OK 012","tally":["OFF","PROGRAM","PREVIEW"]})",
                           R"("line":"TALLY OK 2001","tally":["PREVIEW","OFF","OFF","PROGRAM"]})",
                           R"("line":"HELLO"})", R"("event":"closed")"})
    EXPECT_TRUE(waitForOutput(watch, line, 3000)) << line << "\nnot in:\n" << watch.out;
}

}  // namespace
