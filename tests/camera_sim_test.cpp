// The camera simulator as a program in --json mode: what it recognises, accepts and answers.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <tuple>

#include "test_support.h"

using namespace testing_support;

namespace {

const std::string kHead = "01 00 00 00 00 00 00 00 ", kAnswerHead = "01 11 00 03 00 00 00 00 ";

struct Camera {
  Child child;
  sockaddr_in addr{};
  Camera(const std::string& ip, std::vector<std::string> args) {
    args.insert(args.begin(), {std::string(QUORVEL_BINARY_DIR) + "/quorvel-camera-sim", "--address",
                               ip, "--port", "0", "--json", "--reply"});
    startChild(child, args, {});
    if (waitForOutput(child, "}\n", 5000))
      addr = loopbackAddr(ip, std::stoi(child.out.substr(child.out.find("\"port\":") + 7)));
  }
  // Sends `hex` over UDP or TCP, waits for `report` in the output, returns what came back.
  Bytes send(bool tcp, const std::string& hex, const std::string& report) {
    Bytes reply, b = hexBytes(hex);
    int fd = ::socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    timeval tv{0, 500000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
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

// Rows: camera, bytes sent, report values from "transport" to "lamp", ACK and completion back.
TEST(CameraSim, SchemesPrefixTransportsUnknownBytesOnlyModeAndReplies) {
  Camera any("127.0.1.40", {}), only("127.0.1.41", {"--only-prefixed"});
  ASSERT_TRUE(any.addr.sin_port && only.addr.sin_port);
  const std::string bvis = "81 01 7e 01 0a 01 ", avis = "81 01 7e 01 0a 00 ";
  for (auto& [cam, sent, report, answered] :
       std::vector<std::tuple<Camera*, std::string, std::string, bool>>{
           {&any, bvis + "05 ff", R"("udp",false,"B","PROGRAM",true,"PROGRAM")", true},
           {&any, kHead + avis + "04 ff", R"("udp",true,"A","PREVIEW",true,"PREVIEW")", true},
           {&any, avis + "00 ff", R"("tcp",false,"A","OFF",true,"OFF")", true},
           {&any, kHead + bvis + "05 ff", R"("tcp",true,"B","PROGRAM",true,"PROGRAM")", true},
           {&any, "81 01 04 00 02 ff", R"("udp",false,null,null,true,"PROGRAM")", false},
           {&only, bvis + "04 ff", R"("udp",false,"B","PREVIEW",false,"OFF")", false},
           {&only, kHead + bvis + "04 ff", R"("tcp",true,"B","PREVIEW",true,"PREVIEW")", true}}) {
    std::istringstream values(report);
    std::string line, v, head = sent[0] == '0' ? kAnswerHead : "";
    for (const char* key : {"transport", "prefixed", "scheme", "state", "accepted", "lamp"})
      std::getline(values, v, ','), line += std::string(",\"") + key + "\":" + v;
    line += ",\"hex\":\"" + sent.substr(sent.find("81")) + "\"}\n";
    EXPECT_EQ(cam->send(report[1] == 't', sent, line),
              hexBytes(answered ? head + "90 41 ff " + head + "90 51 ff" : ""))
        << sent;
  }
}

}  // namespace
