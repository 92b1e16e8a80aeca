// The camera simulator as a program in --json mode: what it recognises, accepts and answers, by
// VISCA in its profiles and by HTTP.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "test_support.h"

using namespace testing_support;

namespace {

const std::string kHead = "01 00 00 00 00 00 00 00 ";

// A camera that replies, and ways to talk to it.
struct Camera : CameraSim {
  Camera(const std::string& ip, std::vector<std::string> args)
      : CameraSim((args.insert(args.begin(), "--reply"), args), ip) {}
  // Sends `hex` to port `port` over UDP or TCP (from `udp` when given, a connected socket kept by
  // the caller), waits for `report` in the output printed since, returns what came back.
  Bytes send(size_t port, bool tcp, const std::string& hex, const std::string& report,
             int udp = -1) {
    Bytes reply, b = hexBytes(hex);
    int fd = udp >= 0 ? udp : connected(port, tcp ? SOCK_STREAM : SOCK_DGRAM);
    child.out.clear();
    EXPECT_EQ(::send(fd, b.data(), b.size(), 0), static_cast<ssize_t>(b.size()));
    if (tcp) ::shutdown(fd, SHUT_WR);
    EXPECT_TRUE(waitForOutput(child, report, 3000)) << report << "\nnot in:\n" << child.out;
    uint8_t in[64];
    for (ssize_t n; (n = ::recv(fd, in, sizeof in, 0)) > 0;) reply.insert(reply.end(), in, in + n);
    if (fd != udp) ::close(fd);
    return reply;
  }
  int connected(size_t port, int type, int timeoutMs = 500) {
    int fd = ::socket(AF_INET, type, 0);
    timeval tv{timeoutMs / 1000, timeoutMs % 1000 * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const sockaddr_in& addr = addrs.at(port);
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    return fd;
  }
  // An HTTP/1.1 request on a new connection, left open for httpAnswer.
  int httpAsk(const std::string& method, const std::string& target, const std::string& headers) {
    int fd = connected(0, SOCK_STREAM, 5000);
    std::string req = method + " " + target + " HTTP/1.1\r\nHost: cam\r\nConnection: close\r\n" +
                      headers + "\r\n";
    EXPECT_EQ(::send(fd, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
    return fd;
  }
  std::string httpAnswer(int fd) {  // everything up to the close: status line, headers, body
    std::string answer;
    char in[1024];
    for (ssize_t n; (n = ::recv(fd, in, sizeof in, 0)) > 0;) answer.append(in, size_t(n));
    ::close(fd);
    return answer;
  }
  std::string http(const std::string& method, const std::string& target,
                   const std::string& headers) {
    return httpAnswer(httpAsk(method, target, headers));
  }
};

// Rows: camera and port, bytes sent, report values from "transport" to "lamp", the answers
// (each behind a reply header when the command had one). A camera with two ports names the port
// on every line and keeps a lamp for each; in error mode the lamp stays as it was.
TEST(CameraSim, SchemesPrefixTransportsUnknownBytesOnlyModeRepliesErrorsAndPorts) {
  Camera any("127.0.1.40", {}), only("127.0.1.41", {"--only-prefixed", "--port", "0"}),
      err("127.0.1.42", {"--reply=error"});
  ASSERT_TRUE(any.addrs.size() == 1 && only.addrs.size() == 2 && err.addrs.size() == 1);
  const std::string bvis = "81 01 7e 01 0a 01 ", avis = "81 01 7e 01 0a 00 ",
                    ack = "90 41 ff,90 51 ff", error = "90 61 41 ff";
  struct Row {
    Camera* cam;
    size_t port;
    std::string sent, report, answers;
  };
  for (const Row& row : std::vector<Row>{
           {&any, 0, avis + "00 ff", R"("tcp",false,"A","OFF",true,"OFF")", ack},
           {&any, 0, kHead + avis + "04 ff", R"("udp",true,"A","PREVIEW",true,"PREVIEW")", ack},
           {&any, 0, bvis + "05 ff", R"("udp",false,"B","PROGRAM",true,"PROGRAM")", ack},
           {&any, 0, "81 01 04 00 02 ff", R"("udp",false,null,null,true,"PROGRAM")", ""},
           {&only, 1, kHead + bvis + "05 ff", R"("udp",true,"B","PROGRAM",true,"PROGRAM")", ack},
           {&only, 0, bvis + "04 ff", R"("udp",false,"B","PREVIEW",false,"OFF")", ""},
           {&only, 0, kHead + bvis + "04 ff", R"("tcp",true,"B","PREVIEW",true,"PREVIEW")", ack},
           {&err, 0, bvis + "05 ff", R"("udp",false,"B","PROGRAM",false,"OFF")", error},
           {&err, 0, kHead + avis + "04 ff", R"("tcp",true,"A","PREVIEW",false,"OFF")", error}}) {
    std::istringstream values(row.report);
    std::string line, v, expected;
    if (row.cam->addrs.size() > 1)
      line = ",\"port\":" + std::to_string(ntohs(row.cam->addrs[row.port].sin_port));
    for (const char* key : {"transport", "prefixed", "scheme", "state", "accepted", "lamp"}) {
      std::getline(values, v, ',');
      if (key[0] == 'l' && row.answers == error) line += ",\"error\":\"41\"";
      line += std::string(",\"") + key + "\":" + v;
    }
    line += ",\"hex\":\"" + row.sent.substr(row.sent.find("81")) + "\"}\n";
    std::istringstream answers(row.answers);
    for (std::string a; std::getline(answers, a, ',');) {
      if (row.sent[0] == '0')
        expected += "01 11 00 0" + std::to_string(hexBytes(a).size()) + " 00 00 00 00 ";
      expected += a + " ";
    }
    EXPECT_EQ(row.cam->send(row.port, row.report[1] == 't', row.sent, line), hexBytes(expected))
        << row.sent;
  }
}

// Rows: camera, sending socket (0 and 1: two senders kept open; -1 a new one each time), TCP,
// bytes, report members from "command" on, and whether ACK and completion come back (for sony
// behind a reply header echoing the sequence number). Sony takes only framed UDP, checks the
// header's length and the sequence, counted per controller whatever its port (a jump or repeat
// is reported, still taken; 2^32 - 1 wraps to 0); avonic takes raw VISCA with a red and a green
// parameter.
TEST(CameraSim, ProfilesFramingSequencesLampsAndExpiry) {
  Camera sony("127.0.1.43", {"--profile", "sony"}), avonic("127.0.1.44", {"--profile", "avonic"}),
      expiring("127.0.1.45", {"--profile", "sony", "--lamp-timeout", "50"});
  ASSERT_TRUE(sony.addrs.size() == 1 && avonic.addrs.size() == 1 && expiring.addrs.size() == 1);
  EXPECT_TRUE(holds(sony.child.out, R"("profile":"sony","lamp_timeout_ms":15000)"));
  auto frame = [](const std::string& seq, const std::string& len = "00 08") {
    return "01 00 " + len + " " + seq + " ";
  };
  const std::string on = "81 01 7e 01 0a 00 02 ff", off = "81 01 7e 01 0a 00 03 ff",
                    red = R"("accepted":true,"lamp":"PROGRAM","red":true)",
                    dark = R"("accepted":true,"lamp":"OFF","red":false)";
  int senders[2] = {sony.connected(0, SOCK_DGRAM), sony.connected(0, SOCK_DGRAM)};
  struct Row {
    Camera* cam;
    int sender;
    bool tcp;
    std::string sent, report;
    bool answered;
  };
  const std::vector<Row> rows = {
      {&sony, 0, false, frame("00 00 00 00") + on, R"("sequence":0,"command":{"red":true},)" + red,
       true},
      {&sony, 0, false, frame("00 00 00 01") + off,
       R"("sequence":1,"command":{"red":false},)" + dark, true},
      {&sony, 0, false, frame("00 00 00 05") + "87" + on.substr(2),
       R"("sequence":5,"expected":2,"command":{"red":true},)" + red, true},
      {&sony, 0, false, frame("00 00 00 05") + off,
       R"("sequence":5,"expected":6,"command":{"red":false},)" + dark, true},
      {&sony, 0, false, frame("00 00 00 06", "00 09") + on,
       R"("ignored":"header gives length 9, 8 bytes follow","lamp":"OFF")", false},
      {&sony, 0, false, on, R"("accepted":false,"ignored":"no VISCA-over-IP header","lamp":"OFF")",
       false},
      {&sony, 0, false, "01 10 00 08 00 00 00 07 " + on,
       R"("ignored":"payload type 01 10, not a VISCA command")", false},
      {&sony, 0, false, frame("ff ff ff ff") + on,
       R"("sequence":4294967295,"expected":8,"command":{"red":true},)" + red, true},
      {&sony, 0, false, frame("00 00 00 00") + off,
       R"("sequence":0,"command":{"red":false},)" + dark, true},
      {&sony, 1, false, frame("00 00 00 00") + on,
       R"("sequence":0,"expected":1,"command":{"red":true},)" + red, true},
      {&sony, -1, true, frame("00 00 00 00") + off,
       R"("accepted":false,"ignored":"sony takes UDP only")", false},
      {&sony, 1, false, frame("00 00 00 01") + "81 01 7e 01 0a 01 05 ff",
       R"("sequence":1,"command":null,"accepted":true,"lamp":"PROGRAM")", false},
      {&avonic, -1, false, "81 01 7e 01 0a 00 02 03 ff",
       R"("command":{"red":true,"green":false},)" + red + R"(,"green":false)", true},
      {&avonic, -1, true, "82 01 7e 01 0a 00 03 02 ff",
       R"({"red":false,"green":true},"accepted":true,"lamp":"PREVIEW","red":false,"green":true)",
       true},
      {&avonic, -1, false, "81 01 7e 01 0a 00 02 02 ff",
       R"("accepted":true,"lamp":null,"red":true,"green":true)", true},
      {&avonic, -1, false, "01 00 00 09 00 00 00 00 81 01 7e 01 0a 00 03 03 ff",
       R"("ignored":"avonic takes raw VISCA, no header","lamp":null)", false},
      {&avonic, -1, false, "81 01 7e 01 0a 00 03 03 ff",
       R"("command":{"red":false,"green":false},)" + dark + R"(,"green":false)", true},
      {&avonic, -1, false, on, R"("command":null,"accepted":true,"lamp":"OFF")", false}};
  for (const Row& row : rows) {
    std::string expected;
    for (const char* a : {"90 41 ff", "90 51 ff"})
      if (row.answered)
        expected += (row.cam == &sony ? "01 11 00 03 " + row.sent.substr(12, 12) : "") + a + " ";
    int from = row.sender >= 0 ? senders[row.sender] : -1;
    EXPECT_EQ(row.cam->send(0, row.tcp, row.sent, row.report, from), hexBytes(expected))
        << row.sent;
  }
  for (int fd : senders) ::close(fd);
  expiring.send(0, false, frame("00 00 00 00") + on, red, -1);
  EXPECT_TRUE(waitForOutput(expiring.child, R"("event":"expired","lamp":"OFF","red":false)", 3000))
      << expiring.child.out;
}

// Panasonic-style tally over HTTP: rows of camera, method, target, Authorization header, status,
// body, report members from "command" on. Then a slow answer that does not hold up a UDP command
// sent after it. (Digest credentials are answered end to end in bridge_test.)
TEST(CameraSim, HttpTallyPathsCommandsAuthFailuresAndSlowAnswers) {
  Camera http("127.0.1.46", {"--http"}),
      basic("127.0.1.46", {"--http", "--http-user", "admin", "--http-password", "pw"}),
      failing("127.0.1.46", {"--http", "--http-status", "500"}),
      slow("127.0.1.47", {"--http", "--http-delay", "2000"});
  const std::string tally = "/cgi-bin/aw_cam?cmd=", res = "&res=1",
                    ok = "Basic YWRtaW46cHc=", unchanged = R"("command":null,"status":)";
  struct Row {
    Camera* cam;
    std::string method, target, auth, status, body, report;
  };
  const std::vector<Row> rows = {
      {&http, "GET", tally + "TLR:1" + res, "", "200", "TLR:1",
       R"("command":{"red":true},"status":200,"accepted":true,"lamp":"PROGRAM","red":true)"},
      {&http, "GET", tally + "TLG%3A1" + res, "", "200", "TLG:1",
       R"("status":200,"accepted":true,"lamp":null,"red":true,"green":true})"},
      {&http, "GET", tally + "TLR:0" + res, "", "200", "TLR:0",
       R"("command":{"red":false},"status":200,"accepted":true,"lamp":"PREVIEW")"},
      {&http, "GET", tally + "TLG:0", "", "200", "TLG:0",
       R"("lamp":"OFF","red":false,"green":false})"},
      {&http, "GET", tally + "TLY:1" + res, "", "400", "unknown command",
       unchanged + R"(400,"accepted":false,"ignored":"unknown command")"},
      {&http, "GET", "/cgi-bin/aw_ptz?cmd=TLR:1", "", "404", "unknown path",
       unchanged + R"(404,"accepted":false,"ignored":"unknown path","lamp":"OFF")"},
      {&http, "POST", tally + "TLR:1", "", "405", "method not allowed", unchanged + "405"},
      {&basic, "GET", tally + "TLR:1", "", "401", "unauthorized",
       unchanged + R"(401,"accepted":false,"ignored":"no or wrong credentials","lamp":"OFF")"},
      {&basic, "GET", tally + "TLR:1", "Basic YWRtaW46bm9wZQ==", "401", "unauthorized",
       unchanged + "401"},
      {&basic, "GET", tally + "TLR:1", ok, "200", "TLR:1",
       R"("status":200,"accepted":true,"lamp":"PROGRAM")"},
      {&failing, "GET", tally + "TLR:1", ok, "500", "status 500",
       unchanged + R"(500,"accepted":false,"ignored":"every request answered 500","lamp":"OFF")"}};
  for (const Row& row : rows) {
    row.cam->child.out.clear();
    std::string answer = row.cam->http(
        row.method, row.target, row.auth.empty() ? "" : "Authorization: " + row.auth + "\r\n");
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 " + row.status) << row.target << "\n" << answer;
    EXPECT_EQ(answer.substr(answer.find("\r\n\r\n") + 4), row.body) << row.target;
    EXPECT_TRUE(waitForOutput(row.cam->child, R"("method":")" + row.method, 3000));
    EXPECT_TRUE(holds(row.cam->child.out, row.report));
  }
  EXPECT_TRUE(holds(basic.http("GET", tally + "TLR:1", ""), "WWW-Authenticate: Basic"));

  // The slow answer is suspended while the loop goes on: a UDP command sent once the request is
  // read is printed before the request's line. A delay that blocked the loop would print it after.
  int pending = slow.httpAsk("GET", tally + "TLR:1" + res, "");
  pumpChild(slow.child, 300);  // time to read the request (a wait, not a bound: never fails)
  slow.send(0, false, "81 01 7e 01 0a 01 04 ff", R"("state":"PREVIEW")");
  std::string answer = slow.httpAnswer(pending);
  EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 200") << answer;
  EXPECT_TRUE(waitForOutput(slow.child, R"("transport":"http")", 3000));
  EXPECT_LT(slow.child.out.find(R"("transport":"udp")"),
            slow.child.out.find(R"("transport":"http")"));
}

}  // namespace
