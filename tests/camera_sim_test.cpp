// The camera simulator as a program in --json mode: what it recognises, accepts and answers.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "test_support.h"

using namespace testing_support;

namespace {

const std::string kHead = "01 00 00 00 00 00 00 00 ";

struct Camera {
  Child child;
  std::vector<sockaddr_in> addrs;  // one per port, in the order given
  Camera(const std::string& ip, std::vector<std::string> args) {
    size_t ports = 1 + std::count(args.begin(), args.end(), "--port");
    args.insert(args.begin(), {std::string(QUORVEL_BINARY_DIR) + "/quorvel-camera-sim", "--address",
                               ip, "--port", "0", "--json", "--reply"});
    startChild(child, args, {});
    for (int64_t end = nowMs() + 5000;
         std::count(child.out.begin(), child.out.end(), '\n') < long(ports) && nowMs() < end;)
      pumpChild(child, 50);
    for (size_t at = 0; (at = child.out.find("\"port\":", at)) != std::string::npos; at += 7)
      addrs.push_back(loopbackAddr(ip, std::stoi(child.out.substr(at + 7))));
  }
  // Sends `hex` to port `port` over UDP or TCP, waits for `report` in the output, returns what
  // came back.
  Bytes send(size_t port, bool tcp, const std::string& hex, const std::string& report) {
    Bytes reply, b = hexBytes(hex);
    int fd = ::socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    timeval tv{0, 500000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const sockaddr_in& addr = addrs.at(port);
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::send(fd, b.data(), b.size(), 0), static_cast<ssize_t>(b.size()));
    if (tcp) ::shutdown(fd, SHUT_WR);
    EXPECT_TRUE(waitForOutput(child, report, 3000)) << report << "\nnot in:\n" << child.out;
    uint8_t in[64];
    for (ssize_t n; (n = ::recv(fd, in, sizeof in, 0)) > 0;) reply.insert(reply.end(), in, in + n);
    ::close(fd);
    return reply;
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
           {&any, 0, bvis + "05 ff", R"("udp",false,"B","PROGRAM",true,"PROGRAM")", ack},
           {&any, 0, kHead + avis + "04 ff", R"("udp",true,"A","PREVIEW",true,"PREVIEW")", ack},
           {&any, 0, avis + "00 ff", R"("tcp",false,"A","OFF",true,"OFF")", ack},
           {&any, 0, kHead + bvis + "05 ff", R"("tcp",true,"B","PROGRAM",true,"PROGRAM")", ack},
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

}  // namespace
