// quorvel-bench: plays the switcher (the simulator's protocol code) and the camera for each
// bridge under test, all in one process, and measures them side by side in one run:
//
//   latency     cuts, round-robin across the subjects; each sample runs from just before the
//               switcher datagram carrying the cut is sent to the camera datagram's arrival
//   idle CPU    utime+stime (and the scheduler's exact run time) over an idle window while
//               every subject stays connected
//   throughput  a flood of datagrams that ask for acknowledgement and carry PrgI/PrvI blocks,
//               a window of them in flight; acknowledged datagrams per second
//   footprint   VmHWM at the end, size on disk
//
// Writes samples.csv, cdf-<subject>.dat and RESULTS.md into the output folder and prints the
// report. Every address is on loopback; every phase is bounded in count and time.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "switcher_sim.h"

namespace {

using quorvel_sim::SimClient;
using quorvel_sim::SwitcherSim;

constexpr int kMe = 0;
constexpr uint16_t kWatchInput = 1;  // the simulator starts with program 1, preview 2
const Bytes kProgramBytes = {0x81, 0x01, 0x7E, 0x01, 0x0A, 0x01, 0x05, 0xFF};
const Bytes kPreviewBytes = {0x81, 0x01, 0x7E, 0x01, 0x0A, 0x01, 0x04, 0xFF};

enum SubjectKind { FLOOR, BRIDGE, PEER };

struct Options {
  std::string outDir = "bench/out";
  std::string quorvel;
  std::string floor;
  std::string node;
  std::string peerScript;
  std::string peerLabel = "Node peer";
  long long peerSize = -1;
  std::string addrs[3] = {"127.0.2.1", "127.0.2.2", "127.0.2.3"};  // floor, bridge, peer
  int cuts = 500;
  int spacingMs = 80;
  int warmupCuts = 3;
  double idleSeconds = 30;
  double floodSeconds = 3;
  int floodWindow = 64;
  double quietWaitSeconds = 60;  // before each flood, wait this long at most for a calm machine
  std::string revision;
};

struct FloodResult {
  bool ran = false;
  double seconds = 0;
  uint64_t acked = 0;   // datagrams acknowledged within the measured window
  uint64_t sent = 0;    // every flood datagram, first transmissions
  uint64_t resent = 0;  // retransmissions after a stall
  uint64_t ackDatagrams = 0;
  double rate = 0;            // mean over the whole window
  double medianRate = 0;      // median of the 250 ms slices: what a brief outside load leaves alone
  double busyBeforePct = -1;  // the machine just before, % of all its cores
  double othersPct = -1;      // CPU of every other process during the flood, % of one core
};

struct Subject {
  SubjectKind kind = FLOOR;
  std::string name;   // file names
  std::string label;  // table heading
  std::string addr;
  SwitcherSim sim;
  int camFd = -1;
  uint16_t camPort = 0;
  pid_t pid = -1;
  int exitStatus = -1;
  bool ready = false;
  std::vector<double> samplesUs;
  std::vector<int> sampleCut;
  int lost = 0;
  int wrongBytes = 0;
  int extras = 0;
  double idleCpuTicksPct = -1;
  double idleCpuRunPct = -1;
  long vmHwmKiB = -1;
  long long sizeBytes = -1;
  FloodResult flood;
};

int64_t nowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

[[noreturn]] void die(const std::string& why) {
  std::cerr << "quorvel-bench: " << why << std::endl;
  std::exit(1);
}

// ---- processes ------------------------------------------------------------------------------

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& logPath) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) die(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    // The subject ends with the harness, whatever way the harness ends.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    int in = open("/dev/null", O_RDONLY);
    int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in >= 0) dup2(in, 0);
    if (log >= 0) {
      dup2(log, 1);
      dup2(log, 2);
    }
    for (const std::string& e : env) {
      size_t eq = e.find('=');
      setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    execvp(args[0], args.data());
    std::fprintf(stderr, "exec %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
  }
  return pid;
}

bool childGone(Subject& s) {
  if (s.pid <= 0) return true;
  int status = 0;
  pid_t r = waitpid(s.pid, &status, WNOHANG);
  if (r == s.pid) {
    s.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    s.pid = -1;
    return true;
  }
  return false;
}

void stopChild(Subject& s) {
  if (s.pid <= 0) return;
  kill(s.pid, SIGTERM);
  int64_t deadline = nowNs() + 5000000000LL;
  while (nowNs() < deadline) {
    if (childGone(s)) return;
    usleep(10000);
  }
  kill(s.pid, SIGKILL);
  int status = 0;
  waitpid(s.pid, &status, 0);
  s.exitStatus = 128 + SIGKILL;
  s.pid = -1;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string tail(const std::string& path, size_t bytes) {
  std::string s = readFile(path);
  return s.size() > bytes ? "..." + s.substr(s.size() - bytes) : s;
}

// utime + stime of the whole process, in clock ticks.
long long cpuTicks(pid_t pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream in(stat.substr(close + 2));
  std::string field;
  long long utime = 0;
  long long stime = 0;
  for (int i = 3; i <= 15 && in >> field; ++i) {
    if (i == 14) utime = std::atoll(field.c_str());
    if (i == 15) stime = std::atoll(field.c_str());
  }
  return utime + stime;
}

// Nanoseconds on a CPU, summed over the process's threads (scheduler statistics).
long long runNs(pid_t pid) {
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(dir.c_str());
  if (!d) return -1;
  long long total = 0;
  bool any = false;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string s = readFile(dir + "/" + e->d_name + "/schedstat");
    if (s.empty()) continue;
    total += std::atoll(s.c_str());
    any = true;
  }
  closedir(d);
  return any ? total : -1;
}

long vmHwmKiB(pid_t pid) {
  std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

long long fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Busy and total time of the whole machine, in clock ticks (first line of /proc/stat).
struct MachineCpu {
  long long busy = 0;
  long long total = 0;
};

MachineCpu machineCpu() {
  std::istringstream in(readFile("/proc/stat"));
  std::string cpu;
  long long v[8] = {};
  in >> cpu;
  for (long long& x : v) in >> x;  // user nice system idle iowait irq softirq steal
  MachineCpu m;
  m.total = v[0] + v[1] + v[2] + v[3] + v[4] + v[5] + v[6] + v[7];
  m.busy = m.total - v[3] - v[4];
  return m;
}

// Puts every thread of `pid` (0: this process) on the CPUs in `cpus`; an empty list means all.
void pin(pid_t pid, const std::vector<int>& cpus) {
  cpu_set_t set;
  CPU_ZERO(&set);
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  for (long i = 0; i < n; ++i)
    if (cpus.empty() || std::find(cpus.begin(), cpus.end(), i) != cpus.end())
      CPU_SET(static_cast<int>(i), &set);
  std::string dir = "/proc/" + (pid ? std::to_string(pid) : std::string("self")) + "/task";
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') sched_setaffinity(std::atoi(e->d_name), sizeof set, &set);
  closedir(d);
}

// ---- sockets ---------------------------------------------------------------------------------

int openCamera(uint16_t& port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) die(std::string("socket: ") + std::strerror(errno));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    die(std::string("bind camera: ") + std::strerror(errno));
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

int drain(int fd) {
  uint8_t buf[2048];
  int n = 0;
  while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 0) ++n;
  return n;
}

SimClient* openClient(Subject& s) {
  for (SimClient& c : s.sim.clients)
    if (c.open) return &c;
  return nullptr;
}

// Keeps every simulated switcher going (acknowledgements, pings, retransmissions) until
// `deadline`, draining the cameras. `countExtras`: datagrams that reach a camera now are
// unexpected and counted.
void serviceUntil(std::vector<Subject>& subs, int64_t deadline, bool countExtras) {
  std::vector<pollfd> fds;
  for (Subject& s : subs) fds.push_back({s.sim.fd, POLLIN, 0});
  for (;;) {
    for (Subject& s : subs) {
      quorvel_sim::simPoll(s.sim, 0);
      int n = drain(s.camFd);
      if (countExtras) s.extras += n;
    }
    int64_t left = deadline - nowNs();
    if (left <= 0) return;
    int64_t step = std::min<int64_t>(left, 100000000LL);
    timespec ts{static_cast<time_t>(step / 1000000000LL), static_cast<long>(step % 1000000000LL)};
    ppoll(fds.data(), fds.size(), &ts, nullptr);
  }
}

// ---- phases ----------------------------------------------------------------------------------

void startSubjects(std::vector<Subject>& subs, const Options& o) {
  for (Subject& s : subs) {
    std::string error;
    s.sim.log = nullptr;
    if (!quorvel_sim::simOpen(s.sim, s.addr, quorvel_sim::kSimPort, &error))
      die("switcher for " + s.name + ": " + error);
    s.camFd = openCamera(s.camPort);
    std::string log = o.outDir + "/" + s.name + ".log";
    std::string port = std::to_string(s.camPort);
    std::vector<std::string> argv;
    std::vector<std::string> env;
    if (s.kind == FLOOR) {
      argv = {o.floor, s.addr, "127.0.0.1", port};
      s.sizeBytes = fileSize(o.floor);
    } else if (s.kind == BRIDGE) {
      std::string cfg = o.outDir + "/" + s.name + ".json";
      std::ofstream(cfg) << "{\"atem_ip\": \"" << s.addr << "\", \"me_index\": " << kMe
                         << ", \"watch_input_id\": " << kWatchInput
                         << ", \"visca_host\": \"127.0.0.1\", \"visca_port\": " << port
                         << ", \"compat_try_prefix\": false, \"compat_try_tcp\": false"
                         << ", \"compat_try_both_ops\": false}\n";
      argv = {o.quorvel};
      env = {"QUORVEL_CFG=" + cfg};
      s.sizeBytes = fileSize(o.quorvel);
    } else {
      argv = {o.node,
              o.peerScript,
              s.addr,
              "127.0.0.1",
              port,
              std::to_string(kMe),
              std::to_string(kWatchInput)};
      s.sizeBytes = o.peerSize;
    }
    s.pid = spawn(argv, env, log);
  }

  // Ready once the session is open and the initial state has reached the camera.
  int64_t deadline = nowNs() + 30000000000LL;
  std::vector<pollfd> fds;
  for (Subject& s : subs) {
    fds.push_back({s.sim.fd, POLLIN, 0});
    fds.push_back({s.camFd, POLLIN, 0});
  }
  for (;;) {
    bool all = true;
    for (Subject& s : subs) {
      quorvel_sim::simPoll(s.sim, 0);
      if (drain(s.camFd) > 0 && quorvel_sim::simOpenClients(s.sim) > 0) s.ready = true;
      if (childGone(s))
        die(s.name + " exited early with status " + std::to_string(s.exitStatus) + ":\n" +
            tail(o.outDir + "/" + s.name + ".log", 2000));
      all = all && s.ready;
    }
    if (all) break;
    if (nowNs() > deadline) {
      for (Subject& s : subs)
        if (!s.ready)
          std::cerr << s.name << " not ready; log:\n"
                    << tail(o.outDir + "/" + s.name + ".log", 2000) << "\n";
      for (Subject& s : subs) stopChild(s);
      die("subjects did not come up within 30 s");
    }
    poll(fds.data(), fds.size(), 50);
  }
  serviceUntil(subs, nowNs() + 500000000LL, false);
}

// One cut on `s`: the time from just before the datagram goes out to the camera's datagram.
// Only the camera is watched while waiting, so the switcher's own bookkeeping stays off the
// clock. Returns false when no datagram came within a second.
bool timeCut(Subject& s, double& us, bool& bytesOk) {
  s.extras += drain(s.camFd);
  int64_t t0 = nowNs();
  quorvel_sim::simCut(s.sim, kMe);
  const Bytes& expected = s.sim.program[kMe] == kWatchInput ? kProgramBytes : kPreviewBytes;
  pollfd p{s.camFd, POLLIN, 0};
  int64_t deadline = t0 + 1000000000LL;
  uint8_t buf[2048];
  for (;;) {
    ssize_t n = recv(s.camFd, buf, sizeof buf, MSG_DONTWAIT);
    if (n >= 0) {
      int64_t t1 = nowNs();
      us = static_cast<double>(t1 - t0) / 1000.0;
      bytesOk = s.kind == FLOOR || (static_cast<size_t>(n) == expected.size() &&
                                    std::equal(expected.begin(), expected.end(), buf));
      return true;
    }
    int64_t left = deadline - nowNs();
    if (left <= 0) return false;
    timespec ts{static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
    ppoll(&p, 1, &ts, nullptr);
  }
}

void latencyPhase(std::vector<Subject>& subs, const Options& o) {
  int rounds = o.warmupCuts + o.cuts;
  int64_t spacing = static_cast<int64_t>(o.spacingMs) * 1000000LL;
  int64_t next = nowNs();
  for (int r = 0; r < rounds; ++r) {
    for (Subject& s : subs) {
      serviceUntil(subs, next, true);
      next += spacing;
      double us = 0;
      bool ok = true;
      bool got = timeCut(s, us, ok);
      if (r < o.warmupCuts) continue;
      if (!got) {
        ++s.lost;
        continue;
      }
      if (!ok) ++s.wrongBytes;
      s.samplesUs.push_back(us);
      s.sampleCut.push_back(r - o.warmupCuts + 1);
    }
    if (nowNs() > next) next = nowNs();  // a slow round does not squeeze the next ones
  }
  serviceUntil(subs, nowNs() + 300000000LL, true);
}

void idlePhase(std::vector<Subject>& subs, const Options& o) {
  if (o.idleSeconds <= 0) return;
  std::vector<long long> ticks0;
  std::vector<long long> run0;
  for (Subject& s : subs) {
    ticks0.push_back(cpuTicks(s.pid));
    run0.push_back(runNs(s.pid));
  }
  int64_t t0 = nowNs();
  serviceUntil(subs, t0 + static_cast<int64_t>(o.idleSeconds * 1e9), false);
  double seconds = static_cast<double>(nowNs() - t0) / 1e9;
  double hz = static_cast<double>(sysconf(_SC_CLK_TCK));
  for (size_t i = 0; i < subs.size(); ++i) {
    long long t1 = cpuTicks(subs[i].pid);
    long long r1 = runNs(subs[i].pid);
    if (ticks0[i] >= 0 && t1 >= 0)
      subs[i].idleCpuTicksPct = static_cast<double>(t1 - ticks0[i]) / hz / seconds * 100.0;
    if (run0[i] >= 0 && r1 >= 0)
      subs[i].idleCpuRunPct = static_cast<double>(r1 - run0[i]) / 1e9 / seconds * 100.0;
  }
}

// Floods `s` with datagrams asking for acknowledgement, keeping at most `window` of them
// unacknowledged, and counts acknowledged datagrams per second. Acknowledgements are taken as
// cumulative, the way a switcher takes them: an ack of id N settles every datagram up to N.
// The other switchers keep being served meanwhile.
void floodPhase(Subject& s, std::vector<Subject>& subs, const Options& o) {
  if (o.floodSeconds <= 0) return;
  FloodResult& r = s.flood;

  // The flood needs both cores (harness and subject): wait a while (a minute by default) for the
  // rest of the machine to calm down, half a second at a time.
  bool told = false;
  for (int64_t giveUp = nowNs() + static_cast<int64_t>(o.quietWaitSeconds * 1e9);;) {
    MachineCpu a = machineCpu();
    serviceUntil(subs, nowNs() + 500000000LL, false);
    MachineCpu b = machineCpu();
    r.busyBeforePct = b.total > a.total ? 100.0 * static_cast<double>(b.busy - a.busy) /
                                              static_cast<double>(b.total - a.total)
                                        : 0;
    if (r.busyBeforePct < 10 || nowNs() > giveUp) break;
    if (!told)
      std::cerr << "[bench] machine " << static_cast<int>(r.busyBeforePct)
                << " % busy; waiting up to " << o.quietWaitSeconds << " s for it to calm down\n";
    told = true;
  }

  // The session as the simulator left it; it sends nothing more until the flood is over.
  SimClient* c = openClient(s);
  if (!c) {
    std::cerr << s.name << ": no open session for the flood\n";
    return;
  }
  const uint16_t session = static_cast<uint16_t>(0x8000 | c->clientId);
  const uint16_t firstId = c->nextPacketId;
  const sockaddr_in to = c->addr;
  const size_t window = static_cast<size_t>(std::max(1, std::min(o.floodWindow, 1024)));

  // PrgI and PrvI for the watched M/E, switching between two inputs that are not watched: the
  // subject walks the blocks and keeps its tables current, and its tally stays the same.
  constexpr size_t kSize = 12 + 12 + 16;
  std::vector<std::vector<uint8_t>> slots(window, std::vector<uint8_t>(kSize, 0));
  auto build = [&](uint64_t seq, bool resend) {
    std::vector<uint8_t>& p = slots[seq % window];
    std::fill(p.begin(), p.end(), 0);
    uint16_t id = static_cast<uint16_t>((firstId + seq) & 0x7FFF);
    p[0] = static_cast<uint8_t>(0x08 | (resend ? 0x20 : 0) | ((kSize >> 8) & 0x07));
    p[1] = static_cast<uint8_t>(kSize & 0xFF);
    putBe16(&p[2], session);
    putBe16(&p[10], id);
    uint16_t program = static_cast<uint16_t>(5 + (seq & 1));
    uint16_t preview = static_cast<uint16_t>(6 - (seq & 1));
    uint8_t* b = &p[12];
    putBe16(b, 12);
    std::memcpy(b + 4, "PrgI", 4);
    b[8] = kMe;
    putBe16(b + 10, program);
    b += 12;
    putBe16(b, 16);
    std::memcpy(b + 4, "PrvI", 4);
    b[8] = kMe;
    putBe16(b + 10, preview);
    return &p;
  };

  std::vector<mmsghdr> out(window);
  std::vector<iovec> outIov(window);
  constexpr int kAckBatch = 64;
  uint8_t ackBuf[kAckBatch][64];
  mmsghdr in[kAckBatch];
  iovec inIov[kAckBatch];

  // One core each, the same two for every subject, so that runs compare.
  bool pinned = sysconf(_SC_NPROCESSORS_ONLN) >= 2;
  if (pinned) {
    pin(0, {0});
    pin(s.pid, {1});
  }

  uint64_t sent = 0;
  uint64_t acked = 0;
  int64_t start = nowNs();
  MachineCpu cpuFrom;
  long long oursFrom = 0;
  int64_t warm = static_cast<int64_t>(std::min(0.25, o.floodSeconds / 4) * 1e9);
  int64_t measureFrom = start + warm;
  int64_t measureTo = measureFrom + static_cast<int64_t>(o.floodSeconds * 1e9);
  int64_t hardStop = measureTo + 2000000000LL;
  uint64_t ackedAtFrom = 0;
  bool fromTaken = false;
  constexpr int64_t kSliceNs = 250000000LL;
  int64_t sliceStart = measureFrom;
  uint64_t ackedAtSlice = 0;
  std::vector<double> sliceRates;
  int64_t lastProgress = start;
  int64_t lastService = start;

  auto sendRange = [&](uint64_t from, uint64_t to2, bool resend) {
    size_t k = 0;
    for (uint64_t q = from; q < to2; ++q, ++k) {
      std::vector<uint8_t>* p = build(q, resend);
      std::memset(&out[k], 0, sizeof out[k]);
      outIov[k].iov_base = p->data();
      outIov[k].iov_len = p->size();
      out[k].msg_hdr.msg_name = const_cast<sockaddr_in*>(&to);
      out[k].msg_hdr.msg_namelen = sizeof to;
      out[k].msg_hdr.msg_iov = &outIov[k];
      out[k].msg_hdr.msg_iovlen = 1;
    }
    size_t done = 0;
    while (done < k) {
      int m = sendmmsg(s.sim.fd, out.data() + done, static_cast<unsigned>(k - done), 0);
      if (m <= 0) {
        if (m < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
        pollfd w{s.sim.fd, POLLOUT, 0};
        poll(&w, 1, 10);
        continue;
      }
      done += static_cast<size_t>(m);
    }
  };

  while (nowNs() < hardStop) {
    int64_t now = nowNs();
    bool sending = now < measureTo;
    if (!fromTaken && now >= measureFrom) {
      cpuFrom = machineCpu();
      oursFrom = cpuTicks(getpid()) + cpuTicks(s.pid);
      ackedAtFrom = ackedAtSlice = acked;
      sliceStart = now;
      fromTaken = true;
    }
    if (fromTaken && now < measureTo && now - sliceStart >= kSliceNs) {
      sliceRates.push_back(static_cast<double>(acked - ackedAtSlice) * 1e9 /
                           static_cast<double>(now - sliceStart));
      ackedAtSlice = acked;
      sliceStart = now;
    }
    if (!sending && acked == sent) break;
    if (sending && sent - acked < window) {
      uint64_t upTo = acked + window;
      sendRange(sent, upTo, false);
      sent = upTo;
    }
    // Acknowledgements; wait only when none is there yet.
    for (bool waited = false;;) {
      for (int i = 0; i < kAckBatch; ++i) {
        inIov[i].iov_base = ackBuf[i];
        inIov[i].iov_len = sizeof ackBuf[i];
        std::memset(&in[i], 0, sizeof in[i]);
        in[i].msg_hdr.msg_iov = &inIov[i];
        in[i].msg_hdr.msg_iovlen = 1;
      }
      int m = recvmmsg(s.sim.fd, in, kAckBatch, MSG_DONTWAIT, nullptr);
      if (m <= 0) {
        if (waited) break;
        pollfd p{s.sim.fd, POLLIN, 0};
        poll(&p, 1, 2);
        waited = true;
        continue;
      }
      for (int i = 0; i < m; ++i) {
        const uint8_t* a = ackBuf[i];
        if (in[i].msg_len < 12 || !(a[0] & 0x80)) continue;
        ++r.ackDatagrams;
        uint16_t id = static_cast<uint16_t>(a[4] << 8 | a[5]);
        uint16_t base = static_cast<uint16_t>((firstId + acked) & 0x7FFF);
        uint64_t offset = static_cast<uint16_t>((id - base) & 0x7FFF);
        if (offset < sent - acked) {
          acked += offset + 1;
          lastProgress = nowNs();
        }
      }
      if (m < kAckBatch) break;
    }
    now = nowNs();
    if (acked < sent && now - lastProgress > 30000000LL) {  // stalled: send the rest again
      r.resent += sent - acked;
      sendRange(acked, sent, true);
      lastProgress = now;
    }
    if (now - lastService > 50000000LL) {  // keep the other sessions alive
      for (Subject& other : subs) {
        if (&other == &s) continue;
        quorvel_sim::simPoll(other.sim, 0);
        drain(other.camFd);
      }
      drain(s.camFd);
      lastService = now;
    }
    if (now >= measureTo && r.seconds == 0) {
      r.seconds = static_cast<double>(now - measureFrom) / 1e9;
      r.acked = acked - ackedAtFrom;
      MachineCpu cpuTo = machineCpu();
      long long ours = cpuTicks(getpid()) + cpuTicks(s.pid) - oursFrom;
      r.othersPct = std::max(0.0, 100.0 * static_cast<double>(cpuTo.busy - cpuFrom.busy - ours) /
                                      (static_cast<double>(sysconf(_SC_CLK_TCK)) * r.seconds));
    }
  }
  if (r.seconds == 0) {
    r.seconds = static_cast<double>(nowNs() - measureFrom) / 1e9;
    r.acked = acked - ackedAtFrom;
  }
  if (pinned) {
    pin(0, {});
    pin(s.pid, {});
  }
  r.sent = sent;
  r.rate = r.seconds > 0 ? static_cast<double>(r.acked) / r.seconds : 0;
  std::sort(sliceRates.begin(), sliceRates.end());
  r.medianRate = sliceRates.empty() ? r.rate : sliceRates[sliceRates.size() / 2];
  r.ran = true;

  // Hand the session back to the simulator where the flood left it.
  c->nextPacketId = static_cast<uint16_t>((firstId + sent) & 0x7FFF);
  c->lastAckMs = c->lastNewPacketMs = quorvel_sim::simNowMs();
  s.sim.program[kMe] = static_cast<uint16_t>(5 + ((sent - 1) & 1));
  s.sim.preview[kMe] = static_cast<uint16_t>(6 - ((sent - 1) & 1));
  serviceUntil(subs, nowNs() + 300000000LL, false);
}

// ---- report ----------------------------------------------------------------------------------

double percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return NAN;
  size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
  return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

std::string fmt(double v, int decimals) {
  if (std::isnan(v) || v < 0) return "n/a";
  char b[64];
  std::snprintf(b, sizeof b, "%.*f", decimals, v);
  return b;
}

std::string withCommas(double v) {
  if (std::isnan(v) || v < 0) return "n/a";
  std::string digits = std::to_string(static_cast<long long>(std::llround(v)));
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string mib(double kib) {
  return kib < 0 ? "n/a" : fmt(kib / 1024.0, 2) + " MiB";
}

std::string sizeText(long long bytes) {
  if (bytes < 0) return "n/a";
  if (bytes < 10 * 1024 * 1024) return fmt(static_cast<double>(bytes) / 1024.0, 1) + " KiB";
  return fmt(static_cast<double>(bytes) / (1024.0 * 1024.0), 1) + " MiB";
}

std::string cpuModel() {
  std::istringstream in(readFile("/proc/cpuinfo"));
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  return "unknown CPU";
}

std::string loadAverage() {
  std::istringstream in(readFile("/proc/loadavg"));
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

struct Stats {
  double p50 = NAN, p90 = NAN, p99 = NAN, max = NAN;
};

Stats statsOf(const Subject& s) {
  std::vector<double> v = s.samplesUs;
  std::sort(v.begin(), v.end());
  Stats st;
  st.p50 = percentile(v, 50);
  st.p90 = percentile(v, 90);
  st.p99 = percentile(v, 99);
  st.max = v.empty() ? NAN : v.back();
  return st;
}

void writeData(const std::vector<Subject>& subs, const Options& o) {
  std::ofstream csv(o.outDir + "/samples.csv");
  csv << "subject,cut,latency_us\n";
  for (const Subject& s : subs)
    for (size_t i = 0; i < s.samplesUs.size(); ++i)
      csv << s.name << ',' << s.sampleCut[i] << ',' << fmt(s.samplesUs[i], 1) << '\n';
  for (const Subject& s : subs) {
    std::vector<double> v = s.samplesUs;
    std::sort(v.begin(), v.end());
    std::ofstream cdf(o.outDir + "/cdf-" + s.name + ".dat");
    cdf << "# " << s.label << ": latency_us fraction\n";
    for (size_t i = 0; i < v.size(); ++i)
      cdf << fmt(v[i], 1) << ' '
          << fmt(static_cast<double>(i + 1) / static_cast<double>(v.size()), 4) << '\n';
  }
}

std::string report(const std::vector<Subject>& subs, const Options& o,
                   const std::string& loadBefore, const std::string& loadAfter,
                   const std::string& date) {
  const Subject* floor = nullptr;
  const Subject* bridge = nullptr;
  const Subject* peer = nullptr;
  for (const Subject& s : subs) {
    if (s.kind == FLOOR) floor = &s;
    if (s.kind == BRIDGE) bridge = &s;
    if (s.kind == PEER) peer = &s;
  }
  std::vector<Stats> st;
  for (const Subject& s : subs) st.push_back(statsOf(s));
  Stats fs = floor ? statsOf(*floor) : Stats();
  Stats bs = bridge ? statsOf(*bridge) : Stats();
  Stats ps = peer ? statsOf(*peer) : Stats();

  utsname u{};
  uname(&u);
  std::ostringstream md;
  md << "# Benchmark results\n\n";
  md << "Made by `bench/run` on " << date << (o.revision.empty() ? "" : " at " + o.revision)
     << ". Absolute times depend on the machine and its load; the ratios, measured in one run, "
        "are what the goals are held against.\n\n";
  md << "- Machine: " << cpuModel() << ", " << sysconf(_SC_NPROCESSORS_ONLN) << " cores, Linux "
     << u.release << " (" << u.machine << ")\n";
  md << "- Load average (1/5/15 min): " << loadBefore << " before the run, " << loadAfter
     << " after\n";
  md << "- Latency: " << o.cuts << " cuts per subject after " << o.warmupCuts
     << " warm-up cuts, one cut every " << o.spacingMs << " ms round-robin across the "
     << subs.size() << " subjects (" << o.spacingMs * static_cast<int>(subs.size())
     << " ms between two cuts to the same subject); from just before the switcher datagram "
        "carrying the cut is sent to the arrival of the camera datagram\n";
  md << "- Throughput: " << fmt(o.floodSeconds, 1) << " s per subject, at most " << o.floodWindow
     << " unacknowledged datagrams in flight, each carrying a PrgI and a PrvI block; the "
        "harness and the subject each need a core of their own (CPU 0 and CPU 1 for the flood), so "
        "the median of the 250 ms slices is what a brief load from elsewhere on the machine "
        "leaves alone\n";
  md << "- Idle CPU: " << fmt(o.idleSeconds, 0)
     << " s with every subject connected and the switchers sending their 1 s keep-alive\n\n";

  auto row = [&](const std::string& title, auto cell) {
    md << "| " << title << " |";
    for (size_t i = 0; i < subs.size(); ++i) md << ' ' << cell(subs[i], st[i]) << " |";
    md << '\n';
  };
  md << "| |";
  for (const Subject& s : subs) md << ' ' << s.label << " |";
  md << "\n|---|";
  for (size_t i = 0; i < subs.size(); ++i) md << "---:|";
  md << '\n';
  row("cuts measured (lost)", [](const Subject& s, const Stats&) {
    return std::to_string(s.samplesUs.size()) + " (" + std::to_string(s.lost) + ")";
  });
  row("latency p50 (µs)", [](const Subject&, const Stats& x) { return fmt(x.p50, 1); });
  row("latency p90 (µs)", [](const Subject&, const Stats& x) { return fmt(x.p90, 1); });
  row("latency p99 (µs)", [](const Subject&, const Stats& x) { return fmt(x.p99, 1); });
  row("latency max (µs)", [](const Subject&, const Stats& x) { return fmt(x.max, 1); });
  row("p50 / floor p50",
      [&](const Subject&, const Stats& x) { return fmt(x.p50 / fs.p50, 2) + "×"; });
  row("p99 / floor p99",
      [&](const Subject&, const Stats& x) { return fmt(x.p99 / fs.p99, 2) + "×"; });
  row("acknowledged switcher datagrams/s, median of 250 ms slices",
      [](const Subject& s, const Stats&) {
        return s.flood.ran ? withCommas(s.flood.medianRate) : std::string("n/a");
      });
  row("acknowledged switcher datagrams/s, mean", [](const Subject& s, const Stats&) {
    return s.flood.ran ? withCommas(s.flood.rate) : std::string("n/a");
  });
  row("peak RSS (VmHWM)",
      [](const Subject& s, const Stats&) { return mib(static_cast<double>(s.vmHwmKiB)); });
  row("idle CPU, % of a core (utime+stime)",
      [](const Subject& s, const Stats&) { return fmt(s.idleCpuTicksPct, 3); });
  row("idle CPU, % of a core (scheduler run time)",
      [](const Subject& s, const Stats&) { return fmt(s.idleCpuRunPct, 4); });
  row("size on disk", [](const Subject& s, const Stats&) { return sizeText(s.sizeBytes); });
  md << '\n';

  md << "## Goals\n\n| goal | measured | met |\n|---|---:|:---:|\n";
  auto goal = [&](const std::string& what, double value, const std::string& shown, bool ok) {
    md << "| " << what << " | " << shown << " | "
       << (std::isnan(value) || value < 0 ? "not measured"
           : ok                           ? "yes"
                                          : "**no**")
       << " |\n";
  };
  double r50 = bs.p50 / fs.p50;
  double r99 = bs.p99 / fs.p99;
  goal("quorvel p50 ≤ 1.25 × floor p50", r50, fmt(r50, 2) + "×", r50 <= 1.25);
  goal("quorvel p99 ≤ 2 × floor p99", r99, fmt(r99, 2) + "×", r99 <= 2.0);
  double vsPeer = peer ? ps.p50 / bs.p50 : NAN;
  goal("Node peer p50 ≥ 7 × quorvel p50", vsPeer, peer ? fmt(vsPeer, 1) + "×" : "n/a",
       vsPeer >= 7.0);
  double rate = bridge && bridge->flood.ran ? bridge->flood.medianRate : NAN;
  goal("≥ 100,000 acknowledged switcher datagrams/s (median slice)", rate, withCommas(rate) + "/s",
       rate >= 100000);
  double idle = bridge ? bridge->idleCpuTicksPct : NAN;
  goal("idle CPU ≤ 0.05 % of a core (utime+stime)", idle, fmt(idle, 3) + " %", idle <= 0.05);
  double rss = bridge ? static_cast<double>(bridge->vmHwmKiB) : NAN;
  goal("peak RSS ≤ 4 MiB", rss, mib(rss), rss >= 0 && rss <= 4096);
  md << '\n';

  md << "![Latency distributions](latency-cdf.svg)\n\n";
  md << "## Notes\n\n";
  md << "- Subjects: the floor is `bench/floor_relay.cpp`, which sends eight fixed bytes to the "
        "camera for every datagram that carries commands and acknowledges afterwards; quorvel "
        "is the stripped Release build with the compatibility fallbacks off (one UDP datagram "
        "per change); the Node peer is `bench/peers/tally-peer.js`"
     << (peer ? ", with atem-connection's default options (its socket in a worker thread)"
              : ", not run this time")
     << ".\n";
  md << "- Each subject has its own simulated switcher (quorvel_sim) on its own loopback "
        "address and its own camera socket; the harness watches only the camera while a cut "
        "is in flight.\n";
  md << "- Acknowledged datagrams count cumulatively, as a switcher counts them: an "
        "acknowledgement of id N settles every datagram up to N.";
  for (const Subject& s : subs)
    if (s.flood.ran)
      md << " " << s.label << ": " << s.flood.ackDatagrams << " acknowledgements for "
         << s.flood.sent << " datagrams, " << s.flood.resent << " resent after a stall; the "
         << "machine was " << fmt(s.flood.busyBeforePct, 0) << " % busy just before, and "
         << "other processes took " << fmt(s.flood.othersPct, 0) << " % of a core during it.";
  md << "\n";
  md << "- utime+stime count in clock ticks of "
     << fmt(1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK)), 0) << " ms, so over "
     << fmt(o.idleSeconds, 0) << " s one tick is "
     << fmt(100.0 / static_cast<double>(sysconf(_SC_CLK_TCK)) / o.idleSeconds, 3)
     << " % of a core; the scheduler's run time (/proc/PID/task/*/schedstat) is exact.\n";
  md << "- Size on disk: the stripped executable for the floor and quorvel (shared C and C++ "
        "libraries not counted); for the Node peer the node executable, its libnode and "
        "node_modules.\n";
  bool anyOdd = false;
  for (const Subject& s : subs) anyOdd = anyOdd || s.wrongBytes || s.extras;
  if (anyOdd) {
    md << "- Unexpected camera traffic:";
    for (const Subject& s : subs)
      md << " " << s.label << " " << s.wrongBytes << " wrong commands, " << s.extras
         << " extra datagrams;";
    md << "\n";
  }
  md << "- Raw samples: `samples.csv`; plot: `latency-cdf.svg` (gnuplot, from `cdf-*.dat`).\n";
  return md.str();
}

void usage() {
  std::cerr
      << "usage: quorvel-bench --quorvel PATH --floor PATH [--node PATH --peer-script PATH"
         " [--peer-label TEXT] [--peer-size BYTES]] [--out DIR] [--cuts N] [--spacing MS]"
         " [--warmup N] [--idle SECONDS] [--flood SECONDS] [--window N] [--quiet-wait SECONDS]"
         " [--addrs FLOOR,BRIDGE,PEER] [--revision TEXT]\n";
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (a == "--out")
      o.outDir = next();
    else if (a == "--quorvel")
      o.quorvel = next();
    else if (a == "--floor")
      o.floor = next();
    else if (a == "--node")
      o.node = next();
    else if (a == "--peer-script")
      o.peerScript = next();
    else if (a == "--peer-label")
      o.peerLabel = next();
    else if (a == "--peer-size")
      o.peerSize = std::atoll(next().c_str());
    else if (a == "--cuts")
      o.cuts = std::atoi(next().c_str());
    else if (a == "--spacing")
      o.spacingMs = std::atoi(next().c_str());
    else if (a == "--warmup")
      o.warmupCuts = std::atoi(next().c_str());
    else if (a == "--idle")
      o.idleSeconds = std::atof(next().c_str());
    else if (a == "--flood")
      o.floodSeconds = std::atof(next().c_str());
    else if (a == "--window")
      o.floodWindow = std::atoi(next().c_str());
    else if (a == "--quiet-wait")
      o.quietWaitSeconds = std::atof(next().c_str());
    else if (a == "--revision")
      o.revision = next();
    else if (a == "--addrs") {
      std::istringstream in(next());
      for (std::string& addr : o.addrs)
        if (!std::getline(in, addr, ',')) usage();
    } else
      usage();
  }
  if (o.quorvel.empty() || o.floor.empty()) usage();
  // Cuts stay beyond the bridge's 50 ms hold-off; runs stay bounded.
  o.cuts = std::max(1, std::min(o.cuts, 100000));
  o.spacingMs = std::max(60, std::min(o.spacingMs, 10000));
  o.warmupCuts = std::max(0, std::min(o.warmupCuts, 100));
  o.idleSeconds = std::max(0.0, std::min(o.idleSeconds, 600.0));
  o.floodSeconds = std::max(0.0, std::min(o.floodSeconds, 60.0));
  o.quietWaitSeconds = std::max(0.0, std::min(o.quietWaitSeconds, 600.0));
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = parse(argc, argv);
  signal(SIGPIPE, SIG_IGN);
  mkdir(o.outDir.c_str(), 0755);

  std::vector<Subject> subs(o.node.empty() ? 2 : 3);
  subs[0].kind = FLOOR, subs[0].name = "floor", subs[0].label = "floor relay";
  subs[1].kind = BRIDGE, subs[1].name = "quorvel", subs[1].label = "quorvel";
  if (subs.size() == 3)
    subs[2].kind = PEER, subs[2].name = "node-peer", subs[2].label = o.peerLabel;
  for (size_t i = 0; i < subs.size(); ++i) subs[i].addr = o.addrs[i];

  time_t wall = time(nullptr);
  char date[64];
  strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", gmtime(&wall));
  std::string loadBefore = loadAverage();

  std::cerr << "[bench] starting " << subs.size() << " subjects\n";
  startSubjects(subs, o);
  std::cerr << "[bench] latency: " << o.cuts << " cuts each, every " << o.spacingMs << " ms\n";
  latencyPhase(subs, o);
  std::cerr << "[bench] idle: " << o.idleSeconds << " s\n";
  idlePhase(subs, o);
  for (Subject& s : subs) {
    std::cerr << "[bench] flood: " << s.name << ", " << o.floodSeconds << " s\n";
    floodPhase(s, subs, o);
  }
  for (Subject& s : subs) {
    if (childGone(s))
      std::cerr << s.name << " exited during the run (" << s.exitStatus << ")\n";
    else
      s.vmHwmKiB = vmHwmKiB(s.pid);
  }
  for (Subject& s : subs) {
    stopChild(s);
    quorvel_sim::simClose(s.sim);
    close(s.camFd);
  }
  std::string loadAfter = loadAverage();

  writeData(subs, o);
  std::string md = report(subs, o, loadBefore, loadAfter, date);
  std::ofstream(o.outDir + "/RESULTS.md") << md;
  std::cout << md << std::flush;

  bool ok = true;
  for (const Subject& s : subs) ok = ok && !s.samplesUs.empty() && s.wrongBytes == 0;
  return ok ? 0 : 1;
}
