// quorvel-bench: plays the switcher (the simulator's protocol code) and the camera for each
// bridge under test, all in one process, and measures them side by side in one run:
//
//   latency     cuts, round-robin across the subjects; each sample runs from just before the
//               switcher datagram carrying the cut is sent to the camera datagram's arrival;
//               repeated --runs times
//   idle CPU    utime+stime (and the scheduler's exact run time) over an idle window while
//               every subject stays connected, with its wake-ups (context switches) and the
//               switcher datagrams it received meanwhile
//   throughput  a flood of datagrams that ask for acknowledgement and carry PrgI/PrvI blocks,
//               a window of them in flight; acknowledged datagrams per second
//   footprint   VmHWM at the end, size on disk
//   8 cameras   a second instance of every subject driving eight cameras (inputs 1 to 8); cuts
//               between inputs 1 and 2 change two of them, and each sample runs to the second
//               camera datagram; VmHWM of that instance
//   HTTP camera quorvel alone with one camera lit over HTTP (--http-cuts): from just before the
//               switcher datagram to the first bytes of the request on the kept connection,
//               beside quorvel's VISCA figure
//   faults      quorvel alone for --fault-minutes: 50 cuts a second with 5 % of the switcher's
//               packets lost and 5 % reordered, the switcher resending after 200 ms; every 5 s
//               the cuts pause for a second and the lamp must show the switcher's state; then
//               20 clean cuts must each reach the lamp within 1 s, with nothing unacknowledged;
//               --fault-rate sets the cuts a second, --fault-full gives that quorvel 64 cameras
//               and every output, and its RSS is read after the first 5 s and at the end (the
//               memory run)
//   outputs     (--outputs-cuts) five quorvels side by side, cuts round-robin: one camera; one
//               camera with a TSL 5.0 receiver and a tally-server client; one camera with
//               --pages clients on the status page's /events; 64 cameras that every cut
//               changes; 64 cameras with every output. Each cut records the kernel's receive
//               time of every camera datagram, of each output's first bytes and of the
//               switcher's acknowledgement; VmRSS and VmHWM of the last at the end
//   idle        (--idle-outputs) wake-ups of one camera beside those of every output (TSL
//               refresh 1 s)
//   first lamp  (--first-lamp-runs, --dumps) quorvel started against each recorded switcher
//               dump as the initial state: process start to hello, InCm to the first camera
//               datagram, process start to the first camera datagram
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
// Camera k watches input k + 1. The simulator starts with program 1 and preview 2, so a cut
// changes cameras 0 and 1 and leaves the others off.
constexpr int kChangedCameras = 2;
constexpr int kCameras8 = 8;
constexpr int kCameras64 = 64;
const Bytes kProgramBytes = {0x81, 0x01, 0x7E, 0x01, 0x0A, 0x01, 0x05, 0xFF};
const Bytes kPreviewBytes = {0x81, 0x01, 0x7E, 0x01, 0x0A, 0x01, 0x04, 0xFF};
const Bytes kOffBytes = {0x81, 0x01, 0x7E, 0x01, 0x0A, 0x01, 0x00, 0xFF};

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
  std::string addrs8[3] = {"127.0.2.4", "127.0.2.5", "127.0.2.6"};  // their eight-camera twins
  int cuts = 500;
  int runs = 1;    // latency phases, one after the other
  int cuts8 = -1;  // eight-camera cuts; -1: as many as --cuts, 0: no eight-camera phase
  int spacingMs = 80;
  int warmupCuts = 3;
  double idleSeconds = 60;
  double floodSeconds = 3;
  int floodWindow = 64;
  double quietWaitSeconds = 60;  // before each flood, wait this long at most for a calm machine
  double faultMinutes = 0;       // 0: no fault phase
  std::string addrFaults = "127.0.2.7";
  int faultRate = 50;      // cuts a second in the fault phase
  bool faultFull = false;  // the faulted quorvel drives 64 cameras and every output
  int httpCuts = 0;  // 0: no HTTP camera phase
  std::string addrHttp = "127.0.2.8";
  int outputsCuts = 0;     // cuts per rig of the output phases; 0: none
  int pages = 64;          // /events clients of the page rigs
  int tallyClients = 8;    // tally-server clients with every output
  int tslReceivers = 4;    // TSL receivers with every output, through kTslKinds in turn
  double idleOutputs = 0;  // idle window beside every output; 0: none
  std::string dumps;       // recorded switcher dumps: a folder, or files separated by commas
  int firstLampRuns = 0;   // starts per dump; 0: no first-lamp phase
  // Switchers of the rigs: one camera, outputs, pages, 64 cameras, every output, first lamp.
  std::string rigAddrs[6] = {"127.0.2.9",  "127.0.2.10", "127.0.2.11",
                             "127.0.2.12", "127.0.2.13", "127.0.2.14"};
  std::string revision;
};

struct HttpResult {
  bool ran = false;
  std::vector<double> samplesUs;
  int lost = 0;
  int connections = 0;  // the camera's connections accepted over the phase
};

struct FaultResult {
  bool ran = false;
  double minutes = 0;
  uint64_t cuts = 0, lost = 0, reordered = 0, resent = 0;
  int pauses = 0, wrongAfterPause = 0;
  double worstCatchUpMs = 0;  // from a pause's last cut to the lamp showing it
  int cleanCuts = 0, cleanLate = 0;
  double cleanMaxMs = 0;
  size_t unacknowledged = 0;
  long vmHwmKiB = -1;
  int rate = 0;             // cuts a second
  bool full = false;        // 64 cameras and every output
  long rssStartKiB = -1;    // VmRSS after the first 5 s
  long rssEndKiB = -1;      // and at the end
};

// The rigs of the output phases, side by side.
enum RigRole { RIG_ONE, RIG_OUTPUTS, RIG_PAGES, RIG_CAMERAS, RIG_EVERY, kRigRoles };

// Time to first lamp with one recorded switcher dump.
struct FirstLamp {
  std::string dump;  // file name
  size_t packets = 0;
  std::vector<double> helloMs, lampAfterInCmMs, lampMs;  // one each per start
  int missed = 0;  // starts without a camera datagram within 10 s
  int wrong = 0;   // starts whose first camera datagram was not the program command
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

// The receiving end of one of quorvel's outputs, played by the harness.
enum SinkKind { TSL_UDP, TSL_TCP, TALLY_CLIENT, PAGE_CLIENT };

struct Sink {
  SinkKind kind = TSL_UDP;
  std::string name;    // series name: "TSL 5.0 udp", "tally client", "page client"
  int fd = -1;         // where the data comes in
  int listenFd = -1;   // TSL over TCP: where quorvel connects
  uint16_t port = 0;   // TSL: where quorvel sends
  std::string text;    // tally and page clients: what came since the last clear
  bool done = false;   // what the sink waits for has come since the last clear
  bool ready = false;  // it has come at least once (the initial state)
  int closed = 0;      // connections that ended
  int missed = 0;      // cuts in a row that it heard nothing of; from 3 on it is not waited for
};

// Per-cut figures of the output phases, by name (microseconds).
struct Series {
  std::string name;
  std::vector<double> us;
};

struct Subject {
  SubjectKind kind = FLOOR;
  std::string name;   // file names
  std::string label;  // table heading
  std::string addr;
  SwitcherSim sim;
  std::vector<int> camFds;  // camera k watches input k + 1
  std::vector<uint16_t> camPorts;
  pid_t pid = -1;
  int exitStatus = -1;
  bool ready = false;
  std::vector<double> samplesUs;
  std::vector<int> sampleCut;
  std::vector<int> sampleRun;  // 1-based latency run
  int lost = 0;
  int wrongBytes = 0;
  int extras = 0;
  double idleCpuTicksPct = -1;
  double idleCpuRunPct = -1;
  double idleWakeupsPerS = -1;
  long long idleDatagrams = -1;  // switcher datagrams the subject received in the idle window
  long vmHwmKiB = -1;
  long long sizeBytes = -1;
  FloodResult flood;
  // The output phases.
  std::vector<uint16_t> camInputs;  // input watched by each camera; empty: camera k watches k + 1
  std::vector<Sink> sinks;          // receiving ends of its outputs
  std::string outputsJson;          // the members of quorvel's configuration for them
  std::string tallyAt, pageAt;      // ADDR:PORT of its tally server and status page
  std::vector<Series> series;
  int outputsLost = 0;  // cuts where an output got nothing within a second
  int notFirst = 0;     // cuts where an output's bytes came before the last camera datagram
  int ackBefore = 0;    // cuts where the acknowledgement came before the last camera datagram
  int ackUnseen = 0;    // cuts whose acknowledgement was not the next datagram to the switcher
  long vmRssKiB = -1;
  double idleVoluntaryPerS = -1;
};

int64_t nowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// The clock of the kernel's receive times (SO_TIMESTAMPNS).
int64_t realNs() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
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

// The sum of `count(text of /proc/PID/task/TID/<file>)` over the process's threads; -1 when no
// thread's file could be read.
template <typename Count>
long long sumOverThreads(pid_t pid, const char* file, Count count) {
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(dir.c_str());
  if (!d) return -1;
  long long total = 0;
  bool any = false;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string text = readFile(dir + "/" + e->d_name + "/" + file);
    if (text.empty()) continue;
    total += count(text);
    any = true;
  }
  closedir(d);
  return any ? total : -1;
}

// Nanoseconds on a CPU, summed over the process's threads (scheduler statistics).
long long runNs(pid_t pid) {
  return sumOverThreads(pid, "schedstat",
                        [](const std::string& s) { return std::atoll(s.c_str()); });
}

// Voluntary plus involuntary context switches (only the voluntary ones with `voluntaryOnly`),
// summed over the process's threads: each is the thread going to sleep or being put off the
// CPU, so over an idle window they count wake-ups.
long long contextSwitches(pid_t pid, bool voluntaryOnly = false) {
  return sumOverThreads(pid, "status", [voluntaryOnly](const std::string& status) {
    long long n = 0;
    std::istringstream in(status);
    for (std::string line; std::getline(in, line);) {
      size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string key = line.substr(0, colon);
      if (key == "voluntary_ctxt_switches" ||
          (!voluntaryOnly && key == "nonvoluntary_ctxt_switches"))
        n += std::atoll(line.c_str() + colon + 1);
    }
    return n;
  });
}

// A "Vm...:" line of /proc/PID/status, in KiB.
long statusKiB(pid_t pid, const std::string& key) {
  std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
  return -1;
}

long vmHwmKiB(pid_t pid) {
  return statusKiB(pid, "VmHWM:");
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

int drainCameras(const Subject& s) {
  int n = 0;
  for (int fd : s.camFds) n += drain(fd);
  return n;
}

SimClient* openClient(Subject& s) {
  for (SimClient& c : s.sim.clients)
    if (c.open) return &c;
  return nullptr;
}

// The kernel stamps every datagram or TCP segment that comes to `fd` with its receive time.
void enableStamps(int fd) {
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
}

// recv with the kernel's receive time (CLOCK_REALTIME; over TCP that of the last segment read),
// or the time of the call when the kernel gave none; `peek` leaves the data queued.
ssize_t recvStamped(int fd, uint8_t* buf, size_t len, int64_t& at, bool peek = false) {
  iovec iov{buf, len};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  msghdr m{};
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  ssize_t n = recvmsg(fd, &m, MSG_DONTWAIT | (peek ? MSG_PEEK : 0));
  if (n < 0) return n;
  at = realNs();
  for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec ts;
      std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
      at = static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
    }
  return n;
}

sockaddr_in ipv4(const std::string& ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) die("not an IPv4 address: " + ip);
  return a;
}

// A listening TCP socket on ip, port chosen by the system.
int listenTcp(const std::string& ip, uint16_t& port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in a = ipv4(ip, 0);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    die("listen on " + ip + ": " + std::strerror(errno));
  port = ntohs(a.sin_port);
  return fd;
}

// A TCP port on `ip` that nobody uses now, for quorvel to listen on.
uint16_t freeTcpPort(const std::string& ip) {
  uint16_t port = 0;
  close(listenTcp(ip, port));
  return port;
}

// A connection to ip:port, non-blocking once made; -1 when refused.
int connectTcp(const std::string& ip, uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = ipv4(ip, port);
  if (fd < 0) die(std::string("socket: ") + std::strerror(errno));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

// What a sink waits for has come: any bytes for TSL, a whole "TALLY OK" line for a tally client,
// an event with data (the status JSON, not a ping) for a page client.
bool sinkComplete(const Sink& k) {
  if (k.kind == TALLY_CLIENT) {
    size_t at = k.text.find("TALLY OK ");
    return at != std::string::npos && k.text.find("\r\n", at) != std::string::npos;
  }
  return k.kind != PAGE_CLIENT || k.text.find("data: {") != std::string::npos;
}

// Reads whatever waits for `k` (accepting quorvel's connection first for TSL over TCP). Returns
// the kernel's receive time of the read that completed what the sink waits for since its text
// was last cleared, or -1 when that did not come in this call.
int64_t readSink(Sink& k) {
  if (k.listenFd >= 0) {
    int fd = accept4(k.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      if (k.fd >= 0) close(k.fd);
      k.fd = fd;
      enableStamps(fd);
    }
  }
  int64_t found = -1;
  uint8_t buf[16384];
  while (k.fd >= 0) {
    int64_t at = 0;
    ssize_t n = recvStamped(k.fd, buf, sizeof buf, at);
    if (n == 0 && k.kind != TSL_UDP) {  // the other end closed the connection
      close(k.fd);
      k.fd = -1;
      ++k.closed;
    }
    if (n <= 0) break;
    if (k.done) continue;  // the rest is not looked at
    if (k.kind == TALLY_CLIENT || k.kind == PAGE_CLIENT) {
      k.text.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
      if (k.text.size() > 65536) k.text.erase(0, k.text.size() - 4096);
    }
    if (sinkComplete(k)) {
      found = at;
      k.done = k.ready = true;
    }
  }
  return found;
}

// Reads every output sink of `s`, forgetting what came once it was whole.
void drainSinks(Subject& s) {
  for (Sink& k : s.sinks) {
    readSink(k);
    if (!k.done) continue;
    k.text.clear();
    k.done = false;
  }
}

int sinkFd(const Sink& k) {
  return k.fd >= 0 ? k.fd : k.listenFd;
}

// Keeps every simulated switcher going (acknowledgements, pings, retransmissions) until
// `deadline`, draining the cameras and the output sinks. `countExtras`: datagrams that reach a
// camera now are unexpected and counted.
void serviceUntil(std::vector<Subject>& subs, int64_t deadline, bool countExtras) {
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    for (Subject& s : subs) {
      quorvel_sim::simPoll(s.sim, 0);
      int n = drainCameras(s);
      if (countExtras) s.extras += n;
      drainSinks(s);
      fds.push_back({s.sim.fd, POLLIN, 0});
      for (const Sink& k : s.sinks)
        if (sinkFd(k) >= 0) fds.push_back({sinkFd(k), POLLIN, 0});
    }
    int64_t left = deadline - nowNs();
    if (left <= 0) return;
    int64_t step = std::min<int64_t>(left, 100000000LL);
    timespec ts{static_cast<time_t>(step / 1000000000LL), static_cast<long>(step % 1000000000LL)};
    ppoll(fds.data(), fds.size(), &ts, nullptr);
  }
}

// ---- phases ----------------------------------------------------------------------------------

// quorvel's configuration: the one camera at the top level, or a "cameras" list whose entries
// take the switcher, the M/E, the camera host and the fallbacks from the top level. The
// fallbacks are off so that every change is one UDP datagram, as it is for the others.
// The input camera `k` of `s` watches.
uint16_t watchedInput(const Subject& s, size_t k) {
  return s.camInputs.empty() ? static_cast<uint16_t>(k + 1) : s.camInputs[k];
}

// quorvel's configuration: the one camera at the top level, or a "cameras" list whose entries
// take the switcher, the M/E, the camera host and the fallbacks from the top level; then the
// outputs, if any. The fallbacks are off so that every change is one UDP datagram, as it is for
// the others.
std::string bridgeConfig(const Subject& s) {
  std::ostringstream j;
  j << "{\"atem_ip\": \"" << s.addr << "\", \"me_index\": " << kMe
    << ", \"visca_host\": \"127.0.0.1\", \"compat_try_prefix\": false, \"compat_try_tcp\": false"
    << ", \"compat_try_both_ops\": false";
  if (s.camPorts.size() == 1) {
    j << ", \"watch_input_id\": " << watchedInput(s, 0) << ", \"visca_port\": " << s.camPorts[0];
  } else {
    j << ",\n \"cameras\": [";
    for (size_t k = 0; k < s.camPorts.size(); ++k)
      j << (k ? ",\n  " : "\n  ") << "{\"watch_input_id\": " << watchedInput(s, k)
        << ", \"visca_port\": " << s.camPorts[k] << "}";
    j << "]";
  }
  j << s.outputsJson << "}\n";
  return j.str();
}

// Starts every subject with `cameras` camera sockets of its own (camera k watching input k + 1;
// as many as it has camInputs when it has them) and waits until each has opened its session
// and the initial state has reached the cameras on program and preview.
void startSubjects(std::vector<Subject>& subs, const Options& o, int cameras) {
  for (Subject& s : subs) {
    if (!s.camInputs.empty()) cameras = static_cast<int>(s.camInputs.size());
    std::string error;
    s.sim.log = nullptr;
    if (!quorvel_sim::simOpen(s.sim, s.addr, quorvel_sim::kSimPort, &error))
      die("switcher for " + s.name + ": " + error);
    std::vector<std::string> ports;
    for (int k = 0; k < cameras; ++k) {
      uint16_t port = 0;
      s.camFds.push_back(openCamera(port));
      s.camPorts.push_back(port);
      ports.push_back(std::to_string(port));
    }
    std::string log = o.outDir + "/" + s.name + ".log";
    std::vector<std::string> argv;
    std::vector<std::string> env;
    if (s.kind == FLOOR) {
      argv = {o.floor, s.addr, "127.0.0.1"};
      argv.insert(argv.end(), ports.begin(), ports.end());
      s.sizeBytes = fileSize(o.floor);
    } else if (s.kind == BRIDGE) {
      std::string cfg = o.outDir + "/" + s.name + ".json";
      std::ofstream(cfg) << bridgeConfig(s);
      argv = {o.quorvel};
      env = {"QUORVEL_CFG=" + cfg};
      s.sizeBytes = fileSize(o.quorvel);
    } else {
      std::string portList;
      std::string inputList;
      for (int k = 0; k < cameras; ++k) {
        portList += (k ? "," : "") + ports[static_cast<size_t>(k)];
        inputList += (k ? "," : "") + std::to_string(k + 1);
      }
      argv = {o.node, o.peerScript, s.addr, "127.0.0.1", portList, std::to_string(kMe), inputList};
      s.sizeBytes = o.peerSize;
    }
    s.pid = spawn(argv, env, log);
  }

  int64_t deadline = nowNs() + 30000000000LL;
  std::vector<pollfd> fds;
  std::vector<std::vector<bool>> heard;
  for (Subject& s : subs) {
    fds.push_back({s.sim.fd, POLLIN, 0});
    for (int fd : s.camFds) fds.push_back({fd, POLLIN, 0});
    heard.emplace_back(s.camFds.size(), false);
  }
  for (;;) {
    bool all = true;
    for (size_t i = 0; i < subs.size(); ++i) {
      Subject& s = subs[i];
      quorvel_sim::simPoll(s.sim, 0);
      bool lit = true;
      for (size_t k = 0; k < s.camFds.size(); ++k) {
        if (drain(s.camFds[k]) > 0) heard[i][k] = true;
        if (k < kChangedCameras) lit = lit && heard[i][k];
      }
      if (lit && quorvel_sim::simOpenClients(s.sim) > 0) s.ready = true;
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

// The command camera `k` must hold for the switcher's state now.
const Bytes& expectedFor(const Subject& s, size_t k) {
  uint16_t input = watchedInput(s, k);
  if (s.sim.program[kMe] == input) return kProgramBytes;
  if (s.sim.preview[kMe] == input) return kPreviewBytes;
  return kOffBytes;
}

// One cut on `s`: the time from just before the datagram goes out to the arrival of the camera
// datagrams it causes, that is the one camera's or, with several cameras, the later of the two
// changed ones'. Only those cameras are watched while waiting, so the switcher's own bookkeeping
// stays off the clock. Returns false when one of them got nothing within a second.
bool timeCut(Subject& s, double& us, bool& bytesOk) {
  size_t watched = std::min<size_t>(kChangedCameras, s.camFds.size());
  s.extras += drainCameras(s);
  int64_t t0 = nowNs();
  quorvel_sim::simCut(s.sim, kMe);
  bool got[kChangedCameras] = {};
  size_t pending = watched;
  int64_t last = t0;
  int64_t deadline = t0 + 1000000000LL;
  bytesOk = true;
  uint8_t buf[2048];
  pollfd p[kChangedCameras];
  for (;;) {
    nfds_t waiting = 0;
    for (size_t k = 0; k < watched; ++k) {
      if (got[k]) continue;
      ssize_t n = recv(s.camFds[k], buf, sizeof buf, MSG_DONTWAIT);
      if (n < 0) {
        p[waiting++] = {s.camFds[k], POLLIN, 0};
        continue;
      }
      last = nowNs();
      got[k] = true;
      --pending;
      const Bytes& expected = expectedFor(s, k);
      if (s.kind != FLOOR && (static_cast<size_t>(n) != expected.size() ||
                              !std::equal(expected.begin(), expected.end(), buf)))
        bytesOk = false;
    }
    if (pending == 0) {
      us = static_cast<double>(last - t0) / 1000.0;
      return true;
    }
    int64_t left = deadline - nowNs();
    if (left <= 0) return false;
    timespec ts{static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
    ppoll(p, waiting, &ts, nullptr);
  }
}

// Warm-up cuts, then `cuts` cuts per subject, round-robin, one every --spacing ms, every switcher
// served in between: `one(subject, cut)` makes and times one cut, `cut` counting from 1 after the
// warm-up ones (which come as 0).
template <typename One>
void roundRobin(std::vector<Subject>& subs, const Options& o, int cuts, One one) {
  int rounds = o.warmupCuts + cuts;
  int64_t spacing = static_cast<int64_t>(o.spacingMs) * 1000000LL;
  int64_t next = nowNs();
  for (int r = 0; r < rounds; ++r) {
    for (Subject& s : subs) {
      serviceUntil(subs, next, true);
      next += spacing;
      one(s, std::max(0, r - o.warmupCuts + 1));
    }
    if (nowNs() > next) next = nowNs();  // a slow round does not squeeze the next ones
  }
  serviceUntil(subs, nowNs() + 300000000LL, true);
}

// `cuts` measured cuts per subject after the warm-up ones, round-robin, one every --spacing ms;
// the samples are marked with `run`.
void latencyPhase(std::vector<Subject>& subs, const Options& o, int cuts, int run) {
  roundRobin(subs, o, cuts, [run](Subject& s, int cut) {
    double us = 0;
    bool ok = true;
    bool got = timeCut(s, us, ok);
    if (cut == 0) return;
    if (!got) {
      ++s.lost;
      return;
    }
    if (!ok) ++s.wrongBytes;
    s.samplesUs.push_back(us);
    s.sampleCut.push_back(cut);
    s.sampleRun.push_back(run);
  });
}

// Every subject connected and nothing happening but the switchers' keep-alive: CPU time,
// wake-ups, and the switcher datagrams that could account for them.
void idlePhase(std::vector<Subject>& subs, double idleSeconds) {
  if (idleSeconds <= 0) return;
  std::vector<long long> ticks0;
  std::vector<long long> run0;
  std::vector<long long> switches0;
  std::vector<long long> voluntary0;
  std::vector<uint64_t> datagrams0;
  for (Subject& s : subs) {
    ticks0.push_back(cpuTicks(s.pid));
    run0.push_back(runNs(s.pid));
    switches0.push_back(contextSwitches(s.pid));
    voluntary0.push_back(contextSwitches(s.pid, true));
    datagrams0.push_back(s.sim.packetsSent + s.sim.retransmissions + s.sim.packetsDuplicated);
  }
  int64_t t0 = nowNs();
  serviceUntil(subs, t0 + static_cast<int64_t>(idleSeconds * 1e9), false);
  double seconds = static_cast<double>(nowNs() - t0) / 1e9;
  double hz = static_cast<double>(sysconf(_SC_CLK_TCK));
  for (size_t i = 0; i < subs.size(); ++i) {
    Subject& s = subs[i];
    long long t1 = cpuTicks(s.pid);
    long long r1 = runNs(s.pid);
    long long c1 = contextSwitches(s.pid);
    if (ticks0[i] >= 0 && t1 >= 0)
      s.idleCpuTicksPct = static_cast<double>(t1 - ticks0[i]) / hz / seconds * 100.0;
    if (run0[i] >= 0 && r1 >= 0)
      s.idleCpuRunPct = static_cast<double>(r1 - run0[i]) / 1e9 / seconds * 100.0;
    if (switches0[i] >= 0 && c1 >= 0)
      s.idleWakeupsPerS = static_cast<double>(c1 - switches0[i]) / seconds;
    long long v1 = contextSwitches(s.pid, true);
    if (voluntary0[i] >= 0 && v1 >= 0)
      s.idleVoluntaryPerS = static_cast<double>(v1 - voluntary0[i]) / seconds;
    s.idleDatagrams = static_cast<long long>(s.sim.packetsSent + s.sim.retransmissions +
                                             s.sim.packetsDuplicated - datagrams0[i]);
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
        uint16_t id = getBe16(a + 4);
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
        drainCameras(other);
      }
      drainCameras(s);
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

Stats statsOfValues(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  Stats st;
  st.p50 = percentile(v, 50);
  st.p90 = percentile(v, 90);
  st.p99 = percentile(v, 99);
  st.max = v.empty() ? NAN : v.back();
  return st;
}

// Percentiles of the samples of latency run `run`, or of all of them when `run` is 0.
Stats statsOf(const Subject& s, int run = 0) {
  std::vector<double> v;
  for (size_t i = 0; i < s.samplesUs.size(); ++i)
    if (run == 0 || s.sampleRun[i] == run) v.push_back(s.samplesUs[i]);
  return statsOfValues(v);
}

const std::vector<double>& seriesOf(const Subject& s, const std::string& name) {
  static const std::vector<double> kNone;
  for (const Series& x : s.series)
    if (x.name == name) return x.us;
  return kNone;
}

double p50Of(const Subject& s, const std::string& name) {
  return statsOfValues(seriesOf(s, name)).p50;
}

double median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// The eight-camera subjects write their samples under their own names (quorvel-8cam, ...).
void writeData(const std::vector<Subject>& subs, const Options& o) {
  std::ofstream csv(o.outDir + "/samples.csv");
  csv << "subject,cut,latency_us,run\n";
  for (const Subject& s : subs)
    for (size_t i = 0; i < s.samplesUs.size(); ++i)
      csv << s.name << ',' << s.sampleCut[i] << ',' << fmt(s.samplesUs[i], 1) << ','
          << s.sampleRun[i] << '\n';
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

// What the output phases found.
struct OutputsRun {
  std::vector<Subject> rigs;  // by RigRole; empty: the output phases did not run
  std::vector<Subject> idle;  // one camera, then every output; empty: not run
  std::vector<FirstLamp> lamps;
};

// The rigs' per-cut figures: rig,series,index,microseconds.
void writeOutputsData(const OutputsRun& outs, const Options& o) {
  if (outs.rigs.empty()) return;
  std::ofstream csv(o.outDir + "/outputs.csv");
  csv << "rig,series,index,us\n";
  for (const Subject& s : outs.rigs)
    for (const Series& x : s.series)
      for (size_t i = 0; i < x.us.size(); ++i)
        csv << s.name << ',' << x.name << ',' << i + 1 << ',' << fmt(x.us[i], 1) << '\n';
}

// The rows of the rigs' table: series name, heading.
const char* const kRigRows[][2] = {
    {"camera", "first camera datagram"},
    {"camera last", "last camera datagram"},
    {"ack", "switcher's acknowledgement"},
    {"ack after last camera", "acknowledgement after the last camera datagram"},
    {"TSL 5.0 udp", "TSL 5.0 over UDP: first datagram"},
    {"TSL 5.0 udp last", "TSL 5.0 over UDP: last receiver's datagram"},
    {"TSL 3.1 udp", "TSL 3.1 over UDP: first datagram"},
    {"TSL 3.1 udp last", "TSL 3.1 over UDP: last receiver's datagram"},
    {"TSL 5.0 tcp", "TSL 5.0 over TCP: first bytes"},
    {"TSL 5.0 tcp last", "TSL 5.0 over TCP: last receiver's bytes"},
    {"TSL 3.1 tcp", "TSL 3.1 over TCP: first bytes"},
    {"TSL 3.1 tcp last", "TSL 3.1 over TCP: last receiver's bytes"},
    {"tally client", "tally server: first client's TALLY OK line"},
    {"tally client last", "tally server: last client's line"},
    {"page client", "status page: first /events client's event"},
    {"page client last", "status page: last client's event"},
};

// The sections of the output phases: the rigs' table, idle beside every output, time to first
// lamp.
std::string outputsSections(const OutputsRun& outs, const Options& o) {
  std::ostringstream md;
  if (!outs.rigs.empty()) {
    const std::vector<Subject>& g = outs.rigs;
    md << "## Outputs, status page and " << kCameras64 << " cameras\n\n"
       << "Five quorvels side by side, each with its own simulated switcher, cameras and output "
          "ends played by the harness: "
       << o.outputsCuts << " cuts each after " << o.warmupCuts
       << " warm-up cuts, round-robin, one every " << o.spacingMs
       << " ms. Each cut swaps inputs 1 and 2; with one camera it watches input 1, with "
       << kCameras64 << " half of them watch input 1 and half input 2, so that every cut changes "
          "every camera. TSL receivers do not refresh here (refresh_ms 0), so each TSL datagram "
          "is the cut's. Times run from just before the switcher datagram is sent to the "
          "kernel's receive time (SO_TIMESTAMPNS) of each camera datagram, of each output's "
          "first bytes (a tally client's whole TALLY OK line, a page client's event) and of the "
          "switcher's acknowledgement, so the harness's own wake-up is not in them: they run "
          "lower than the latency table's, which ends when the harness has the datagram. With "
       << o.tslReceivers << " TSL receivers every output has "
       << "them through 5.0 UDP, 3.1 UDP, 5.0 TCP, 3.1 TCP in turn, " << o.tallyClients
       << " tally clients and " << o.pages << " page clients. p50 / p99 in µs.\n\n";
    md << "| |";
    for (const Subject& s : g) md << ' ' << s.label << " |";
    md << "\n|---|";
    for (size_t i = 0; i < g.size(); ++i) md << "---:|";
    md << '\n';
    auto row = [&](const std::string& title, auto cell) {
      md << "| " << title << " |";
      for (const Subject& s : g) md << ' ' << cell(s) << " |";
      md << '\n';
    };
    row("cuts measured (cameras lost, outputs lost)", [](const Subject& s) {
      return std::to_string(seriesOf(s, "camera").size()) + " (" + std::to_string(s.lost) + ", " +
             std::to_string(s.outputsLost) + ")";
    });
    for (const auto& r : kRigRows) {
      bool any = false;
      for (const Subject& s : g) any = any || !seriesOf(s, r[0]).empty();
      if (!any) continue;
      row(r[1], [&](const Subject& s) {
        const std::vector<double>& v = seriesOf(s, r[0]);
        if (v.empty()) return std::string("-");
        Stats st = statsOfValues(v);
        return fmt(st.p50, 1) + " / " + fmt(st.p99, 1);
      });
    }
    row("cuts with an output's bytes before the last camera datagram", [](const Subject& s) {
      return s.sinks.empty() ? std::string("-") : std::to_string(s.notFirst);
    });
    row("cuts with the acknowledgement before the last camera datagram (not seen)",
        [](const Subject& s) {
          return std::to_string(s.ackBefore) + " (" + std::to_string(s.ackUnseen) + ")";
        });
    row("wrong commands or tally lines, extra camera datagrams", [](const Subject& s) {
      return std::to_string(s.wrongBytes) + ", " + std::to_string(s.extras);
    });
    row("VmRSS / VmHWM at the end", [](const Subject& s) {
      return mib(static_cast<double>(s.vmRssKiB)) + " / " + mib(static_cast<double>(s.vmHwmKiB));
    });
    md << '\n';
  }
  if (!outs.idle.empty()) {
    const std::vector<Subject>& g = outs.idle;
    md << "## Idle beside the outputs\n\n"
       << fmt(o.idleOutputs, 0) << " s with nothing happening but the switcher's 1 s keep-alive: "
       << "quorvel with one camera and no output, beside quorvel with " << kCameras64
       << " cameras, " << o.tslReceivers << " TSL receivers refreshed every second ("
       << "refresh_ms 1000), " << o.tallyClients << " tally clients and " << o.pages
       << " page clients (whose streams get a ping every 15 s). Wake-ups: voluntary context "
          "switches (/proc/PID/task/*/status), per second.\n\n"
       << "| | " << g[0].label << " | " << g[1].label << " |\n|---|---:|---:|\n";
    auto row = [&](const std::string& title, auto cell) {
      md << "| " << title << " | " << cell(g[0]) << " | " << cell(g[1]) << " |\n";
    };
    row("wake-ups per second (voluntary context switches)",
        [](const Subject& s) { return fmt(s.idleVoluntaryPerS, 2); });
    row("all context switches per second",
        [](const Subject& s) { return fmt(s.idleWakeupsPerS, 2); });
    row("switcher datagrams received in the window", [](const Subject& s) {
      return s.idleDatagrams < 0 ? std::string("n/a") : std::to_string(s.idleDatagrams);
    });
    row("CPU, % of a core (scheduler run time)",
        [](const Subject& s) { return fmt(s.idleCpuRunPct, 4); });
    row("VmRSS / VmHWM", [](const Subject& s) {
      return mib(static_cast<double>(s.vmRssKiB)) + " / " + mib(static_cast<double>(s.vmHwmKiB));
    });
    md << '\n';
  }
  if (!outs.lamps.empty()) {
    md << "## Time to first lamp\n\n"
       << "quorvel started " << o.firstLampRuns << (o.firstLampRuns == 1 ? " time" : " times")
       << " against each recorded switcher dump (`tests/data/atem-dumps/`), which the simulated "
          "switcher sends as its initial state the way a real one does; its one camera watches "
          "the dump's program source. Process start is just before the fork; the hello, InCm "
          "and camera times are the kernel's (the InCm time: when the simulator's last send of "
          "the initial state returned). Medians of the starts, in ms.\n\n"
       << "| dump | packets | exec to hello | InCm to first camera datagram | process start to "
          "first camera datagram | starts (missed, wrong lamp) |\n"
          "|---|---:|---:|---:|---:|---:|\n";
    std::vector<double> hello, afterInCm, fromStart;
    for (const FirstLamp& f : outs.lamps) {
      md << "| " << f.dump << " | " << f.packets << " | " << fmt(median(f.helloMs), 1) << " | "
         << fmt(median(f.lampAfterInCmMs), 2) << " | " << fmt(median(f.lampMs), 1) << " | "
         << f.lampMs.size() << " (" << f.missed << ", " << f.wrong << ") |\n";
      if (f.lampMs.empty()) continue;
      hello.push_back(median(f.helloMs));
      afterInCm.push_back(median(f.lampAfterInCmMs));
      fromStart.push_back(median(f.lampMs));
    }
    md << "| **p50 over the dumps** | | " << fmt(median(hello), 1) << " | "
       << fmt(median(afterInCm), 2) << " | " << fmt(median(fromStart), 1) << " | |\n\n";
  }
  return md.str();
}

// `subs8` is empty when the eight-camera phase did not run; otherwise subs8[i] is the
// eight-camera instance of subs[i].
std::string report(const std::vector<Subject>& subs, const std::vector<Subject>& subs8,
                   const HttpResult& http, const FaultResult& faults, const OutputsRun& outs,
                   const Options& o,
                   const std::string& loadBefore, const std::string& loadAfter,
                   const std::string& date) {
  int floorAt = -1;
  int bridgeAt = -1;
  int peerAt = -1;
  for (size_t i = 0; i < subs.size(); ++i) {
    if (subs[i].kind == FLOOR) floorAt = static_cast<int>(i);
    if (subs[i].kind == BRIDGE) bridgeAt = static_cast<int>(i);
    if (subs[i].kind == PEER) peerAt = static_cast<int>(i);
  }
  std::vector<Stats> st;
  std::vector<Stats> st8;
  for (const Subject& s : subs) st.push_back(statsOf(s));
  for (const Subject& s : subs8) st8.push_back(statsOf(s));
  Stats none;
  const Stats& fs = floorAt >= 0 ? st[static_cast<size_t>(floorAt)] : none;
  const Stats& bs = bridgeAt >= 0 ? st[static_cast<size_t>(bridgeAt)] : none;
  const Stats& ps = peerAt >= 0 ? st[static_cast<size_t>(peerAt)] : none;
  const Subject* bridge = bridgeAt >= 0 ? &subs[static_cast<size_t>(bridgeAt)] : nullptr;
  bool eight = !subs8.empty();

  // p99 / floor p99 of every latency run, per subject, and their median.
  std::vector<std::vector<double>> runRatios(subs.size());
  if (floorAt >= 0)
    for (int r = 1; r <= o.runs; ++r) {
      double floor99 = statsOf(subs[static_cast<size_t>(floorAt)], r).p99;
      for (size_t i = 0; i < subs.size(); ++i)
        runRatios[i].push_back(statsOf(subs[i], r).p99 / floor99);
    }

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
  md << "- Latency: " << o.cuts << " cuts per subject"
     << (o.runs > 1 ? " in each of " + std::to_string(o.runs) + " runs (pooled in the table)"
                    : std::string())
     << " after " << o.warmupCuts << " warm-up cuts, one cut every " << o.spacingMs
     << " ms round-robin across the " << subs.size() << " subjects ("
     << o.spacingMs * static_cast<int>(subs.size())
     << " ms between two cuts to the same subject); from just before the switcher datagram "
        "carrying the cut is sent to the arrival of the camera datagram\n";
  md << "- Throughput: " << fmt(o.floodSeconds, 1) << " s per subject, at most " << o.floodWindow
     << " unacknowledged datagrams in flight, each carrying a PrgI and a PrvI block; the "
        "harness and the subject each need a core of their own (CPU 0 and CPU 1 for the flood), so "
        "the median of the 250 ms slices is what a brief load from elsewhere on the machine "
        "leaves alone\n";
  md << "- Idle: " << fmt(o.idleSeconds, 0)
     << " s with every subject connected and the switchers sending their 1 s keep-alive\n";
  if (eight)
    md << "- Eight cameras: afterwards a second instance of every subject, with its own switcher "
          "and "
       << kCameras8 << " camera sockets watching inputs 1 to " << kCameras8 << " on M/E " << kMe
       << "; " << o.cuts8 << " cuts per subject after " << o.warmupCuts
       << " warm-up cuts, spaced as above, each swapping inputs 1 and 2 between program and "
          "preview, so that two cameras change; from just before the switcher datagram is sent "
          "to the arrival of the second of the two camera datagrams\n";
  md << '\n';

  auto row = [&](const std::string& title, auto cell) {
    md << "| " << title << " |";
    for (size_t i = 0; i < subs.size(); ++i) md << ' ' << cell(i) << " |";
    md << '\n';
  };
  md << "| |";
  for (const Subject& s : subs) md << ' ' << s.label << " |";
  md << "\n|---|";
  for (size_t i = 0; i < subs.size(); ++i) md << "---:|";
  md << '\n';
  auto counted = [](const Subject& s) {
    return std::to_string(s.samplesUs.size()) + " (" + std::to_string(s.lost) + ")";
  };
  row("cuts measured (lost)", [&](size_t i) { return counted(subs[i]); });
  row("latency p50 (µs)", [&](size_t i) { return fmt(st[i].p50, 1); });
  row("latency p90 (µs)", [&](size_t i) { return fmt(st[i].p90, 1); });
  row("latency p99 (µs)", [&](size_t i) { return fmt(st[i].p99, 1); });
  row("latency max (µs)", [&](size_t i) { return fmt(st[i].max, 1); });
  row("p50 / floor p50", [&](size_t i) { return fmt(st[i].p50 / fs.p50, 2) + "×"; });
  row("p99 / floor p99", [&](size_t i) { return fmt(st[i].p99 / fs.p99, 2) + "×"; });
  if (o.runs > 1)
    row("p99 / floor p99, run by run (median)", [&](size_t i) {
      std::string cell;
      for (double r : runRatios[i]) cell += (cell.empty() ? "" : ", ") + fmt(r, 2) + "×";
      return cell + " (" + fmt(median(runRatios[i]), 2) + "×)";
    });
  row("acknowledged switcher datagrams/s, median of 250 ms slices", [&](size_t i) {
    return subs[i].flood.ran ? withCommas(subs[i].flood.medianRate) : std::string("n/a");
  });
  row("acknowledged switcher datagrams/s, mean", [&](size_t i) {
    return subs[i].flood.ran ? withCommas(subs[i].flood.rate) : std::string("n/a");
  });
  row("peak RSS (VmHWM)", [&](size_t i) { return mib(static_cast<double>(subs[i].vmHwmKiB)); });
  row("idle CPU, % of a core (utime+stime)",
      [&](size_t i) { return fmt(subs[i].idleCpuTicksPct, 3); });
  row("idle CPU, % of a core (scheduler run time)",
      [&](size_t i) { return fmt(subs[i].idleCpuRunPct, 4); });
  row("idle wake-ups per second (context switches)",
      [&](size_t i) { return fmt(subs[i].idleWakeupsPerS, 2); });
  row("switcher datagrams received in the idle window", [&](size_t i) {
    return subs[i].idleDatagrams < 0 ? std::string("n/a") : std::to_string(subs[i].idleDatagrams);
  });
  if (eight) {
    row("eight cameras: cuts measured (lost)", [&](size_t i) { return counted(subs8[i]); });
    row("eight cameras: second camera datagram p50 (µs)",
        [&](size_t i) { return fmt(st8[i].p50, 1); });
    row("eight cameras: second camera datagram p99 (µs)",
        [&](size_t i) { return fmt(st8[i].p99, 1); });
    row("eight cameras: p50 / one-camera p50",
        [&](size_t i) { return fmt(st8[i].p50 / st[i].p50, 2) + "×"; });
    row("peak RSS with eight cameras (VmHWM)",
        [&](size_t i) { return mib(static_cast<double>(subs8[i].vmHwmKiB)); });
  }
  row("size on disk", [&](size_t i) { return sizeText(subs[i].sizeBytes); });
  md << '\n';

  md << "## Goals\n\n| goal | measured | met |\n|---|---:|:---:|\n";
  // `caveat`: why the figure does not settle the goal (too few cuts, too short a window).
  auto goal = [&](const std::string& what, double value, const std::string& shown, bool ok,
                  const std::string& caveat = "") {
    bool measured = !std::isnan(value) && value >= 0;
    md << "| " << what << " | " << (measured ? shown : "n/a") << " | "
       << (!measured ? "not measured"
           : ok                           ? "yes"
                                          : "**no**")
       << (!measured || caveat.empty() ? "" : " (" + caveat + ")")
       << " |\n";
  };
  auto fewCuts = [](size_t n) {
    return n < 500 ? "only " + std::to_string(n) + " cuts" : std::string();
  };
  size_t bridgeCuts = bridge ? bridge->samplesUs.size() : 0;
  double r50 = bs.p50 / fs.p50;
  goal("quorvel p50 ≤ 1.10 × floor p50", r50, fmt(r50, 2) + "×", r50 <= 1.10,
       fewCuts(bridgeCuts));
  bool byMedian = o.runs >= 3 && bridgeAt >= 0;
  double r99 = byMedian ? median(runRatios[static_cast<size_t>(bridgeAt)]) : bs.p99 / fs.p99;
  goal(byMedian ? "quorvel p99 ≤ 1.5 × floor p99 (median of the " + std::to_string(o.runs) +
                      " runs' ratios)"
                : std::string("quorvel p99 ≤ 1.5 × floor p99"),
       r99, fmt(r99, 2) + "×", r99 <= 1.5, fewCuts(bridgeCuts));
  double vsPeer = peerAt >= 0 ? ps.p50 / bs.p50 : NAN;
  goal("Node peer p50 ≥ 8 × quorvel p50", vsPeer, peerAt >= 0 ? fmt(vsPeer, 1) + "×" : "n/a",
       vsPeer >= 8.0, fewCuts(bridgeCuts));
  double idle = bridge ? bridge->idleCpuRunPct : NAN;
  goal("idle CPU ≤ 0.02 % of a core (scheduler run time) over 60 s", idle,
       fmt(idle, 4) + " %, " + fmt(bridge ? bridge->idleWakeupsPerS : NAN, 1) + " wake-ups/s",
       idle <= 0.02,
       o.idleSeconds < 60 ? "only " + fmt(o.idleSeconds, 0) + " s" : std::string());
  double rate = bridge && bridge->flood.ran ? bridge->flood.medianRate : NAN;
  goal("≥ 150,000 acknowledged switcher datagrams/s (median slice)", rate, withCommas(rate) + "/s",
       rate >= 150000);
  const Subject* bridge8 = eight && bridgeAt >= 0 ? &subs8[static_cast<size_t>(bridgeAt)] : nullptr;
  double rss8 = bridge8 ? static_cast<double>(bridge8->vmHwmKiB) : NAN;
  goal("peak RSS ≤ 4 MiB with eight cameras configured", rss8, mib(rss8),
       rss8 >= 0 && rss8 <= 4096);
  double second = bridge8 ? st8[static_cast<size_t>(bridgeAt)].p50 / bs.p50 : NAN;
  goal("eight cameras, one cut that changes two: second camera datagram p50 ≤ 1.2 × quorvel's "
       "one-camera p50",
       second, fmt(second, 2) + "×", second <= 1.2,
       fewCuts(bridge8 ? std::min(bridge8->samplesUs.size(), bridgeCuts) : 0));
  if (http.ran) {
    std::vector<double> sorted = http.samplesUs;
    std::sort(sorted.begin(), sorted.end());
    const double p50 = percentile(sorted, 50);
    const double ratio = p50 / bs.p50;
    goal("HTTP camera: request on the kept connection p50 ≤ 2 × quorvel's VISCA datagram p50",
         ratio, fmt(p50, 1) + " µs, " + fmt(ratio, 2) + "× (" + std::to_string(http.connections) +
                    (http.connections == 1 ? " connection" : " connections") + ", " +
                    std::to_string(http.lost) + " lost)",
         ratio <= 2.0 && http.lost == 0, fewCuts(http.samplesUs.size()));
  }
  if (!outs.rigs.empty()) {
    const std::vector<Subject>& g = outs.rigs;
    const double one = p50Of(g[RIG_ONE], "camera");
    auto cutsOf = [](const Subject& s) { return seriesOf(s, "camera").size(); };
    auto notFirst = [&](const Subject& s) {
      return std::to_string(s.notFirst) + " of " + std::to_string(cutsOf(s)) + " cuts not";
    };
    const Subject& out = g[RIG_OUTPUTS];
    const double withOutputs = p50Of(out, "camera") / one;
    goal("outputs (TSL 5.0 over UDP, a tally client): camera datagram p50 ≤ 1.10 × one camera "
         "without outputs (unchanged within noise)",
         withOutputs, fmt(withOutputs, 2) + "×", withOutputs <= 1.10, fewCuts(cutsOf(out)));
    goal("outputs: the camera datagram first, before the TSL datagram and the tally line, in "
         "every cut",
         out.notFirst, notFirst(out), out.notFirst == 0 && cutsOf(out) > 0);
    for (const char* name : {"TSL 5.0 udp", "tally client"}) {
      const double p50 = p50Of(out, name);
      const double ratio = p50 / p50Of(out, "camera");
      goal(std::string("outputs: ") +
               (name[0] == 'T' ? "TSL datagram" : "tally client's TALLY OK line") +
               " p50 ≤ 2 × camera datagram p50",
           ratio, fmt(p50, 1) + " µs, " + fmt(ratio, 2) + "×", ratio <= 2.0, fewCuts(cutsOf(out)));
    }
    const Subject& pages = g[RIG_PAGES];
    const double withPages = p50Of(pages, "camera") / one;
    goal(std::to_string(o.pages) + " page clients on /events: camera datagram p50 ≤ 1.10 × "
         "without (unchanged within noise)",
         withPages, fmt(p50Of(pages, "camera"), 1) + " µs against " + fmt(one, 1) + " µs, " +
                        fmt(withPages, 2) + "×",
         withPages <= 1.10, fewCuts(cutsOf(pages)));
    const Subject& cams = g[RIG_CAMERAS];
    const double first = p50Of(cams, "camera") / one;
    goal(std::to_string(kCameras64) + " cameras, each changed by every cut: first camera "
         "datagram p50 ≤ 1.10 × one camera's",
         first, fmt(first, 2) + "×", first <= 1.10, fewCuts(cutsOf(cams)));
    const double last = p50Of(cams, "camera last");
    goal(std::to_string(kCameras64) + " cameras: last camera datagram p50 ≤ 1 ms after the "
         "switcher datagram",
         last, fmt(last, 1) + " µs", last <= 1000, fewCuts(cutsOf(cams)));
    goal(std::to_string(kCameras64) + " cameras: the switcher's acknowledgement right after the "
         "last camera datagram",
         cams.ackBefore, fmt(p50Of(cams, "ack after last camera"), 1) + " µs after it (p50); "
                             "before it in " + std::to_string(cams.ackBefore) + " cuts, not seen in " +
                             std::to_string(cams.ackUnseen),
         cams.ackBefore == 0 && cams.ackUnseen == 0 && cutsOf(cams) > 0);
    const Subject& every = g[RIG_EVERY];
    goal("every output: all " + std::to_string(kCameras64) +
             " camera datagrams before any output's bytes, in every cut",
         every.notFirst, notFirst(every), every.notFirst == 0 && cutsOf(every) > 0);
    goal("peak RSS ≤ 8 MiB with " + std::to_string(kCameras64) + " cameras and every output",
         static_cast<double>(every.vmHwmKiB),
         mib(static_cast<double>(every.vmHwmKiB)) + " (VmRSS " +
             mib(static_cast<double>(every.vmRssKiB)) + ")",
         every.vmHwmKiB >= 0 && every.vmHwmKiB <= 8192);
  }
  if (!outs.lamps.empty()) {
    std::vector<double> afterInCm, fromStart;
    for (const FirstLamp& f : outs.lamps)
      if (!f.lampMs.empty()) {
        afterInCm.push_back(median(f.lampAfterInCmMs));
        fromStart.push_back(median(f.lampMs));
      }
    const std::string over = "time to first lamp, p50 over the " +
                             std::to_string(outs.lamps.size()) + " dumps: ";
    const double a = median(afterInCm), b = median(fromStart);
    goal(over + "≤ 50 ms after the packet with InCm leaves the switcher", a, fmt(a, 2) + " ms",
         a <= 50 && afterInCm.size() == outs.lamps.size());
    goal(over + "≤ 300 ms from process start", b, fmt(b, 1) + " ms",
         b <= 300 && fromStart.size() == outs.lamps.size());
  }
  if (faults.ran) {
    goal("after " + fmt(faults.minutes, 1) + " min of 5 % loss and 5 % reordering at " +
         std::to_string(faults.rate) + " cuts/s" +
         (faults.full ? " (" + std::to_string(kCameras64) + " cameras, every output)" : "") +
         ": every clean cut's lamp within 1 s, nothing left unacknowledged",
         faults.cleanMaxMs, fmt(faults.cleanMaxMs, 1) + " ms at most, " +
                                std::to_string(faults.unacknowledged) + " unacknowledged",
         faults.cleanLate == 0 && faults.unacknowledged == 0);
    goal("during the faults: the lamp right 1 s after each pause in the cuts",
         faults.pauses, std::to_string(faults.pauses - faults.wrongAfterPause) + " of " +
                            std::to_string(faults.pauses),
         faults.wrongAfterPause == 0);
    const double grew = static_cast<double>(faults.rssEndKiB - faults.rssStartKiB);
    goal("memory run: no RSS growth from the first 5 s to the end (64 KiB allowed for page-sized "
         "noise)",
         faults.rssStartKiB >= 0 ? static_cast<double>(faults.rssEndKiB) : NAN,
         mib(static_cast<double>(faults.rssStartKiB)) + " to " +
             mib(static_cast<double>(faults.rssEndKiB)) + " (" + (grew < 0 ? "-" : "+") +
             fmt(std::fabs(grew), 0) + " KiB)",
         grew <= 64,
         faults.minutes < 10 ? "only " + fmt(faults.minutes, 1) + " min" : std::string());
  }
  md << '\n';
  md << outputsSections(outs, o);
  if (faults.ran) {
    md << "## Faults and memory\n\nquorvel "
       << (faults.full ? "with " + std::to_string(kCameras64) + " cameras and every output (" +
                             std::to_string(o.tslReceivers) + " TSL receivers refreshed every "
                             "second, " + std::to_string(o.tallyClients) + " tally clients, " +
                             std::to_string(o.pages) + " page clients, all read by the harness)"
                       : std::string("alone"))
       << ", " << fmt(faults.minutes, 1) << " min: a cut every " << fmt(1000.0 / faults.rate, 0)
       << " ms (" << faults.cuts << " cuts), " << faults.lost
       << " packets lost and " << faults.reordered << " reordered by the switcher, "
       << faults.resent << " resent by it after 200 ms without an acknowledgement. Every 5 s the "
       << "cuts paused for 1 s: the lamp was right after " << faults.pauses - faults.wrongAfterPause
       << " of " << faults.pauses << " pauses, at most " << fmt(faults.worstCatchUpMs, 1)
       << " ms after the last cut. Then, without faults, " << faults.cleanCuts
       << " cuts: the slowest lamp " << fmt(faults.cleanMaxMs, 1) << " ms, " << faults.cleanLate
       << " late or missing; " << faults.unacknowledged
       << " packets unacknowledged at the end; VmRSS " << mib(static_cast<double>(faults.rssStartKiB))
       << " after the first 5 s and " << mib(static_cast<double>(faults.rssEndKiB))
       << " at the end, peak RSS " << mib(faults.vmHwmKiB) << ".\n\n";
  }

  md << "![Latency distributions](latency-cdf.svg)\n\n";
  md << "## Notes\n\n";
  md << "- Subjects: the floor is `bench/floor_relay.cpp`, which sends eight fixed bytes to the "
        "camera for every datagram that carries commands and acknowledges afterwards (with "
        "several cameras, to the first two, one after the other); quorvel "
        "is the stripped Release build with the compatibility fallbacks off (one UDP datagram "
        "per change); the Node peer is `bench/peers/tally-peer.js`"
     << (peerAt >= 0 ? ", with atem-connection's default options (its socket in a worker thread)"
                     : ", not run this time")
     << ".\n";
  md << "- Each subject has its own simulated switcher (quorvel_sim) on its own loopback "
        "address and its own camera sockets; the harness watches only the cameras a cut changes "
        "while it is in flight.\n";
  if (o.runs > 1)
    md << "- The latency phase ran " << o.runs
       << " times in a row; p99 moves with a few stalls, so the p99 ratio of each run is "
          "listed, and with three runs or more the goal is held against their median.\n";
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
  md << "- Wake-ups: voluntary plus involuntary context switches over the idle window, summed "
        "over the process's threads (/proc/PID/task/*/status), per second. Switcher datagrams: "
        "what the simulated switcher sent the subject in the same window (its keep-alive pings "
        "and any retransmission), to set the wake-ups against.\n";
  if (eight)
    md << "- Eight cameras: peak RSS is the VmHWM of the eight-camera instance at the end of its "
          "cuts; datagrams to the six cameras a cut does not change count as unexpected "
          "traffic below.\n";
  md << "- Size on disk: the stripped executable for the floor and quorvel (shared C and C++ "
        "libraries not counted); for the Node peer the node executable, its libnode and "
        "node_modules.\n";
  bool anyOdd = false;
  for (const std::vector<Subject>* group : {&subs, &subs8})
    for (const Subject& s : *group) anyOdd = anyOdd || s.wrongBytes || s.extras;
  if (anyOdd) {
    md << "- Unexpected camera traffic:";
    for (const std::vector<Subject>* group : {&subs, &subs8})
      for (const Subject& s : *group)
        md << " " << s.name << " " << s.wrongBytes << " wrong commands, " << s.extras
           << " extra datagrams;";
    md << "\n";
  }
  md << "- Raw samples: `samples.csv`"
     << (eight ? " (the eight-camera ones under `<subject>-8cam`)" : "")
     << "; plot: `latency-cdf.svg` (gnuplot, from `cdf-*.dat`)"
     << (eight ? ", the eight-camera distributions dashed" : "") << ".\n";
  return md.str();
}

void usage() {
  std::cerr
      << "usage: quorvel-bench --quorvel PATH --floor PATH [--node PATH --peer-script PATH"
         " [--peer-label TEXT] [--peer-size BYTES]] [--out DIR] [--cuts N] [--runs N]"
         " [--cuts8 N] [--spacing MS] [--warmup N] [--idle SECONDS] [--flood SECONDS]"
         " [--window N] [--quiet-wait SECONDS] [--addrs FLOOR,BRIDGE,PEER]"
         " [--addrs8 FLOOR,BRIDGE,PEER] [--revision TEXT] [--fault-minutes M] [--fault-rate N]"
         " [--fault-full] [--addr-faults A] [--http-cuts N] [--addr-http A] [--outputs-cuts N]"
         " [--pages N] [--tally-clients N] [--tsl N] [--idle-outputs SECONDS]"
         " [--first-lamp-runs N --dumps DIR|FILE,...] [--addrs-outputs A,B,C,D,E,F]\n";
  std::exit(2);
}

template <size_t N>
void parseAddrs(const std::string& text, std::string (&addrs)[N]) {
  std::istringstream in(text);
  for (std::string& addr : addrs)
    if (!std::getline(in, addr, ',')) usage();
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
    else if (a == "--runs")
      o.runs = std::atoi(next().c_str());
    else if (a == "--cuts8")
      o.cuts8 = std::atoi(next().c_str());
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
    else if (a == "--fault-minutes")
      o.faultMinutes = std::atof(next().c_str());
    else if (a == "--addr-faults")
      o.addrFaults = next();
    else if (a == "--http-cuts")
      o.httpCuts = std::atoi(next().c_str());
    else if (a == "--addr-http")
      o.addrHttp = next();
    else if (a == "--fault-rate")
      o.faultRate = std::atoi(next().c_str());
    else if (a == "--fault-full")
      o.faultFull = true;
    else if (a == "--outputs-cuts")
      o.outputsCuts = std::atoi(next().c_str());
    else if (a == "--pages")
      o.pages = std::atoi(next().c_str());
    else if (a == "--tally-clients")
      o.tallyClients = std::atoi(next().c_str());
    else if (a == "--tsl")
      o.tslReceivers = std::atoi(next().c_str());
    else if (a == "--idle-outputs")
      o.idleOutputs = std::atof(next().c_str());
    else if (a == "--first-lamp-runs")
      o.firstLampRuns = std::atoi(next().c_str());
    else if (a == "--dumps")
      o.dumps = next();
    else if (a == "--addrs-outputs")
      parseAddrs(next(), o.rigAddrs);
    else if (a == "--addrs")
      parseAddrs(next(), o.addrs);
    else if (a == "--addrs8")
      parseAddrs(next(), o.addrs8);
    else
      usage();
  }
  if (o.quorvel.empty() || o.floor.empty()) usage();
  // Cuts stay beyond the bridge's 50 ms hold-off; runs stay bounded.
  o.cuts = std::max(1, std::min(o.cuts, 100000));
  o.runs = std::max(1, std::min(o.runs, 20));
  o.cuts8 = o.cuts8 < 0 ? o.cuts : std::min(o.cuts8, 100000);
  o.spacingMs = std::max(60, std::min(o.spacingMs, 10000));
  o.warmupCuts = std::max(0, std::min(o.warmupCuts, 100));
  o.idleSeconds = std::max(0.0, std::min(o.idleSeconds, 600.0));
  o.floodSeconds = std::max(0.0, std::min(o.floodSeconds, 60.0));
  o.quietWaitSeconds = std::max(0.0, std::min(o.quietWaitSeconds, 600.0));
  o.faultMinutes = std::max(0.0, std::min(o.faultMinutes, 600.0));
  o.faultRate = std::max(1, std::min(o.faultRate, 200));
  o.outputsCuts = std::max(0, std::min(o.outputsCuts, 100000));
  // The page serves 64 connections, the tally server 32 clients, 16 TSL outputs at most.
  o.pages = std::max(1, std::min(o.pages, 64));
  o.tallyClients = std::max(1, std::min(o.tallyClients, 32));
  o.tslReceivers = std::max(1, std::min(o.tslReceivers, 16));
  o.idleOutputs = std::max(0.0, std::min(o.idleOutputs, 600.0));
  o.firstLampRuns = o.dumps.empty() ? 0 : std::max(0, std::min(o.firstLampRuns, 50));
  return o;
}

// The floor, quorvel and (with --node) the peer, on the switcher addresses `addrs`.
std::vector<Subject> makeSubjects(const Options& o, const std::string (&addrs)[3],
                                  const std::string& suffix) {
  std::vector<Subject> subs(o.node.empty() ? 2 : 3);
  subs[0].kind = FLOOR, subs[0].name = "floor", subs[0].label = "floor relay";
  subs[1].kind = BRIDGE, subs[1].name = "quorvel", subs[1].label = "quorvel";
  if (subs.size() == 3)
    subs[2].kind = PEER, subs[2].name = "node-peer", subs[2].label = o.peerLabel;
  for (size_t i = 0; i < subs.size(); ++i) {
    subs[i].addr = addrs[i];
    subs[i].name += suffix;
  }
  return subs;
}

// Peak RSS of every subject still running, then each is stopped and its sockets closed.
void finish(std::vector<Subject>& subs);

// ---- outputs, status page, 64 cameras, first lamp --------------------------------------------

// The TSL receivers of a rig, in turn.
const char* const kTslKinds[][2] = {{"5.0", "udp"}, {"3.1", "udp"}, {"5.0", "tcp"}, {"3.1", "tcp"}};

// One quorvel of the output phases.
struct Shape {
  std::string name, label;
  int cameras = 1;       // one watches input 1; more watch inputs 1 and 2 in turn, so that every
                         // cut (which swaps the two) changes each of them
  int tsl = 0;           // TSL receivers, through kTslKinds
  int tallyClients = 0;  // the tally server with this many clients; 0: no tally server
  int pages = 0;         // the status page with this many /events clients; 0: no page
  int tslRefreshMs = 0;  // 0: none, so that every TSL datagram after a cut is the cut's
};

Shape rigShape(int role, const Options& o) {
  Shape sh;
  switch (role) {
    case RIG_ONE:
      sh.name = "quorvel-one", sh.label = "one camera";
      break;
    case RIG_OUTPUTS:
      sh.name = "quorvel-outputs", sh.label = "one camera, TSL 5.0 UDP, tally client";
      sh.tsl = sh.tallyClients = 1;
      break;
    case RIG_PAGES:
      sh.name = "quorvel-pages", sh.label = "one camera, " + std::to_string(o.pages) + " page clients";
      sh.pages = o.pages;
      break;
    case RIG_CAMERAS:
      sh.name = "quorvel-64cam", sh.label = std::to_string(kCameras64) + " cameras";
      sh.cameras = kCameras64;
      break;
    default:
      sh.name = "quorvel-every", sh.label = std::to_string(kCameras64) + " cameras, every output";
      sh.cameras = kCameras64, sh.tsl = o.tslReceivers, sh.tallyClients = o.tallyClients;
      sh.pages = o.pages;
  }
  return sh;
}

// A quorvel subject on switcher address `addr` shaped as `sh`: its cameras' inputs, the sockets
// of its TSL receivers, its configuration for the outputs, and its clients (connected by
// startRigs once it runs).
Subject makeRig(const Shape& sh, const std::string& addr) {
  Subject s;
  s.kind = BRIDGE, s.name = sh.name, s.label = sh.label, s.addr = addr;
  for (int k = 0; k < sh.cameras; ++k)
    s.camInputs.push_back(static_cast<uint16_t>(sh.cameras == 1 ? 1 : 1 + k % 2));
  std::ostringstream j;
  for (int i = 0; i < sh.tsl; ++i) {
    const char* const* kind = kTslKinds[i % 4];
    Sink k;
    k.name = std::string("TSL ") + kind[0] + " " + kind[1];
    if (std::strcmp(kind[1], "udp") == 0) {
      k.kind = TSL_UDP;
      k.fd = openCamera(k.port);
      enableStamps(k.fd);
    } else {
      k.kind = TSL_TCP;
      k.listenFd = listenTcp("127.0.0.1", k.port);
    }
    j << (i ? ",\n  " : ",\n \"tsl\": [\n  ") << "{\"protocol\": \"" << kind[0]
      << "\", \"transport\": \"" << kind[1] << "\", \"host\": \"127.0.0.1\", \"port\": " << k.port
      << ", \"refresh_ms\": " << sh.tslRefreshMs << "}";
    s.sinks.push_back(k);
  }
  if (sh.tsl > 0) j << "]";
  if (sh.tallyClients > 0) {
    s.tallyAt = addr + ":" + std::to_string(freeTcpPort(addr));
    j << ",\n \"tally_server\": {\"listen\": \"" << s.tallyAt << "\"}";
  }
  if (sh.pages > 0) {
    s.pageAt = addr + ":" + std::to_string(freeTcpPort(addr));
    j << ",\n \"http_listen\": \"" << s.pageAt << "\"";
  }
  for (int i = 0; i < sh.tallyClients + sh.pages; ++i) {
    Sink k;
    k.kind = i < sh.tallyClients ? TALLY_CLIENT : PAGE_CLIENT;
    k.name = i < sh.tallyClients ? "tally client" : "page client";
    s.sinks.push_back(k);
  }
  s.outputsJson = j.str();
  return s;
}

// Starts the rigs, has the kernel stamp what comes to their switchers and cameras, connects
// their tally and page clients, and waits until every output has shown the initial state: a TSL
// datagram or bytes, a "TALLY OK" line, a first event.
void startRigs(std::vector<Subject>& rigs, const Options& o) {
  startSubjects(rigs, o, 1);
  for (Subject& s : rigs) {
    enableStamps(s.sim.fd);
    for (int fd : s.camFds) enableStamps(fd);
    for (Sink& k : s.sinks) {
      if (k.kind != TALLY_CLIENT && k.kind != PAGE_CLIENT) continue;
      const std::string& at = k.kind == TALLY_CLIENT ? s.tallyAt : s.pageAt;
      const size_t colon = at.rfind(':');
      k.fd = connectTcp(at.substr(0, colon), static_cast<uint16_t>(std::atoi(at.c_str() + colon + 1)));
      if (k.fd < 0) {
        for (Subject& r : rigs) stopChild(r);
        die(s.name + ": no connection to " + at + ":\n" +
            tail(o.outDir + "/" + s.name + ".log", 2000));
      }
      enableStamps(k.fd);
      const std::string ask = k.kind == TALLY_CLIENT ? "SUBSCRIBE TALLY\r\n"
                                                     : "GET /events HTTP/1.1\r\nHost: x\r\n\r\n";
      send(k.fd, ask.data(), ask.size(), MSG_NOSIGNAL);
    }
  }
  const int64_t deadline = nowNs() + 15000000000LL;
  for (;;) {
    serviceUntil(rigs, nowNs() + 50000000LL, false);
    std::string missing;
    for (const Subject& s : rigs)
      for (const Sink& k : s.sinks)
        if (!k.ready) missing += " " + s.name + ": " + k.name + (k.closed ? " (closed)" : "") + ";";
    if (missing.empty()) break;
    if (nowNs() > deadline) {
      for (Subject& s : rigs) stopChild(s);
      die("outputs that showed nothing within 15 s:" + missing);
    }
  }
  serviceUntil(rigs, nowNs() + 300000000LL, false);
}

// When one cut's datagrams and output bytes came, in ns after the cut (-1: not yet).
struct CutArrivals {
  std::vector<int64_t> cameras;
  std::vector<int64_t> sinks;
  int64_t ack = -1;
  bool bytesOk = true;
};

// A tally client's line shows input 1 as the switcher has it now: 1 program, 2 preview, 0 off.
bool tallyRight(const Subject& s, const std::string& text) {
  size_t at = text.rfind("TALLY OK ");
  if (at == std::string::npos || at + 9 >= text.size()) return false;
  char want = s.sim.program[kMe] == 1 ? '1' : s.sim.preview[kMe] == 1 ? '2' : '0';
  return text[at + 9] == want;
}

// One cut on rig `s`, from just before the switcher datagram goes out: the kernel's receive
// time of each camera datagram, of each output's first bytes (a tally client's whole line, a
// page client's event) and of the switcher's acknowledgement, which must be the next datagram
// to the switcher. Waits on what has not come, up to a second, but not on an output that heard
// nothing of the last three cuts (it is still read); false when something did not come.
bool timeRigCut(Subject& s, CutArrivals& a) {
  // Nothing in flight to the subject but the cut: its keep-alives acknowledged first.
  quorvel_sim::simPoll(s.sim, 0);
  for (const int64_t settle = nowNs() + 50000000LL; nowNs() < settle;) {
    const SimClient* c = openClient(s);
    if (!c || c->inFlight.empty()) break;
    pollfd w{s.sim.fd, POLLIN, 0};
    poll(&w, 1, 1);
    quorvel_sim::simPoll(s.sim, 0);
  }
  s.extras += drainCameras(s);
  for (Sink& k : s.sinks) {
    readSink(k);
    k.text.clear();
    k.done = false;
  }
  const SimClient* c = openClient(s);
  const uint16_t cutId = c ? c->nextPacketId : 0;
  bool ackWatched = c != nullptr;
  a.cameras.assign(s.camFds.size(), -1);
  a.sinks.assign(s.sinks.size(), -1);
  a.ack = -1;
  a.bytesOk = true;
  std::vector<pollfd> p;
  uint8_t buf[2048];
  const int64_t t0 = realNs();
  quorvel_sim::simCut(s.sim, kMe);
  const int64_t deadline = nowNs() + 1000000000LL;
  for (;;) {
    p.clear();
    for (size_t k = 0; k < s.camFds.size(); ++k) {
      if (a.cameras[k] >= 0) continue;
      int64_t at = 0;
      ssize_t n = recvStamped(s.camFds[k], buf, sizeof buf, at);
      if (n < 0) {
        p.push_back({s.camFds[k], POLLIN, 0});
        continue;
      }
      a.cameras[k] = at - t0;
      const Bytes& expected = expectedFor(s, k);
      if (static_cast<size_t>(n) != expected.size() ||
          !std::equal(expected.begin(), expected.end(), buf))
        a.bytesOk = false;
    }
    for (size_t i = 0; i < s.sinks.size(); ++i) {
      if (a.sinks[i] >= 0) continue;
      Sink& k = s.sinks[i];
      int64_t at = readSink(k);
      if (at < 0) {
        if (sinkFd(k) >= 0 && k.missed < 3) {
          p.push_back({sinkFd(k), POLLIN, 0});
        }
        continue;
      }
      a.sinks[i] = at - t0;
      if (k.kind == TALLY_CLIENT && !tallyRight(s, k.text)) a.bytesOk = false;
    }
    while (ackWatched) {
      int64_t at = 0;
      ssize_t n = recvStamped(s.sim.fd, buf, sizeof buf, at, true);
      if (n < 0) {
        p.push_back({s.sim.fd, POLLIN, 0});
        break;
      }
      if (n >= 12 && (buf[0] & 0x80) && getBe16(buf + 4) == cutId) {
        a.ack = at - t0;
        ackWatched = false;
      } else if (n >= 12 && (buf[0] & 0x80)) {
        // An acknowledgement of an earlier packet (a keep-alive answered late): taken out of the
        // way; the cut's, cumulative, settles it for the switcher.
        recv(s.sim.fd, buf, sizeof buf, MSG_DONTWAIT);
      } else {
        ackWatched = false;
      }
    }
    int64_t left = deadline - nowNs();
    if (p.empty() || left <= 0) break;
    timespec ts{static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
    ppoll(p.data(), p.size(), &ts, nullptr);
  }
  bool all = true;
  for (int64_t at : a.cameras) all = all && at >= 0;
  for (size_t i = 0; i < s.sinks.size(); ++i) {
    Sink& k = s.sinks[i];
    k.missed = a.sinks[i] >= 0 ? 0 : k.missed + 1;
    all = all && a.sinks[i] >= 0;
  }
  return all;
}

void addSample(Subject& s, const std::string& name, double us) {
  for (Series& x : s.series)
    if (x.name == name) {
      x.us.push_back(us);
      return;
    }
  s.series.push_back({name, {us}});
}

// Files one timed cut under the rig's series: the first and the last camera datagram, the
// first (and with several, once all came, the last) arrival at each kind of output, the
// acknowledgement and its distance from the last camera datagram. Every camera datagram came;
// an output that did not is left out.
void recordCut(Subject& s, const CutArrivals& a) {
  auto us = [](int64_t ns) { return static_cast<double>(ns) / 1000.0; };
  const int64_t first = *std::min_element(a.cameras.begin(), a.cameras.end());
  const int64_t last = *std::max_element(a.cameras.begin(), a.cameras.end());
  addSample(s, "camera", us(first));
  if (a.cameras.size() > 1) addSample(s, "camera last", us(last));
  int64_t firstOutput = INT64_MAX;
  for (size_t i = 0; i < s.sinks.size(); ++i) {
    const std::string& name = s.sinks[i].name;
    bool seen = false;
    for (size_t j = 0; j < i; ++j) seen = seen || s.sinks[j].name == name;
    if (seen) continue;
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    int count = 0, came = 0;
    for (size_t j = i; j < s.sinks.size(); ++j) {
      if (s.sinks[j].name != name) continue;
      ++count;
      if (a.sinks[j] < 0) continue;
      lo = std::min(lo, a.sinks[j]), hi = std::max(hi, a.sinks[j]);
      ++came;
    }
    if (came == 0) continue;
    addSample(s, name, us(lo));
    if (count > 1 && came == count) addSample(s, name + " last", us(hi));
    firstOutput = std::min(firstOutput, lo);
  }
  if (firstOutput < last) ++s.notFirst;
  if (a.ack < 0) {
    ++s.ackUnseen;
    return;
  }
  addSample(s, "ack", us(a.ack));
  addSample(s, "ack after last camera", us(a.ack - last));
  if (a.ack < last) ++s.ackBefore;
}

// Cuts round-robin across the rigs, each timed by timeRigCut.
void rigLatencyPhase(std::vector<Subject>& rigs, const Options& o, int cuts) {
  // The harness reads up to 64 cameras and 64 page clients per cut; on a CPU of their own the
  // quorvels never wait for it to go back to sleep before they run (the kernel tends to wake a
  // process on the waker's CPU).
  pin(0, {0});
  for (Subject& s : rigs) pin(s.pid, {1});
  roundRobin(rigs, o, cuts, [](Subject& s, int cut) {
    CutArrivals a;
    const bool got = timeRigCut(s, a);
    if (cut == 0) return;
    if (!a.bytesOk) ++s.wrongBytes;
    if (std::find(a.cameras.begin(), a.cameras.end(), -1) != a.cameras.end()) {
      ++s.lost;
      return;
    }
    if (!got) ++s.outputsLost;
    recordCut(s, a);
  });
  pin(0, {});
  for (Subject& s : rigs) pin(s.pid, {});
}

// The five rigs side by side, cuts round-robin; VmRSS and VmHWM of each at the end.
std::vector<Subject> outputsPhase(const Options& o) {
  std::vector<Subject> rigs;
  for (int role = 0; role < kRigRoles; ++role)
    rigs.push_back(makeRig(rigShape(role, o), o.rigAddrs[role]));
  startRigs(rigs, o);
  rigLatencyPhase(rigs, o, o.outputsCuts);
  finish(rigs);
  return rigs;
}

// One camera alone beside 64 cameras with every output (TSL refreshing every second), idle.
std::vector<Subject> idleOutputsPhase(const Options& o) {
  std::vector<Subject> rigs;
  Shape every = rigShape(RIG_EVERY, o);
  every.tslRefreshMs = 1000;
  rigs.push_back(makeRig(rigShape(RIG_ONE, o), o.rigAddrs[RIG_ONE]));
  rigs.push_back(makeRig(every, o.rigAddrs[RIG_EVERY]));
  for (Subject& s : rigs) s.name += "-idle";
  startRigs(rigs, o);
  serviceUntil(rigs, nowNs() + 1000000000LL, false);
  idlePhase(rigs, o.idleOutputs);
  finish(rigs);
  return rigs;
}

// The dumps `list` names: every *.data of a folder (sorted), or files separated by commas.
std::vector<std::string> dumpFiles(const std::string& list) {
  std::vector<std::string> files;
  if (DIR* d = opendir(list.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name.size() > 5 && name.compare(name.size() - 5, 5, ".data") == 0)
        files.push_back(list + "/" + name);
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    return files;
  }
  std::istringstream in(list);
  for (std::string f; std::getline(in, f, ',');)
    if (!f.empty()) files.push_back(f);
  return files;
}

// quorvel started --first-lamp-runs times against a switcher whose initial state is the dump at
// `path`, its one camera watching the dump's program source: from just before the fork to the
// hello reaching the switcher, from the moment the packet with InCm has left the switcher to
// the first camera datagram, and from just before the fork to that datagram (the kernel's
// receive times).
FirstLamp firstLampPhase(const std::string& path, const Options& o) {
  FirstLamp r;
  r.dump = path.substr(path.rfind('/') + 1);
  for (int run = 0; run < o.firstLampRuns; ++run) {
    std::vector<Subject> subs(1);
    Subject& q = subs[0];
    q.kind = BRIDGE, q.name = "quorvel-first-lamp", q.addr = o.rigAddrs[5];
    std::string error;
    if (!quorvel_sim::simLoadInitial(q.sim, path, &error)) die(error);
    r.packets = q.sim.initialPayloads.size();
    q.camInputs = {q.sim.program[kMe]};
    if (!quorvel_sim::simOpen(q.sim, q.addr, quorvel_sim::kSimPort, &error)) die(error);
    enableStamps(q.sim.fd);
    uint16_t port = 0;
    q.camFds.push_back(openCamera(port));
    q.camPorts.push_back(port);
    enableStamps(q.camFds[0]);
    const std::string cfg = o.outDir + "/" + q.name + ".json";
    std::ofstream(cfg) << bridgeConfig(q);
    // The simulator says so right after the initial state's last packet (InCm) has gone.
    int64_t inCmAt = -1, helloAt = -1, lampAt = -1;
    q.sim.log = [&inCmAt](const std::string& line) {
      if (inCmAt < 0 && line.find("initial state sent") != std::string::npos) inCmAt = realNs();
    };
    uint8_t buf[2048];
    const int64_t start = realNs();
    q.pid = spawn({o.quorvel}, {"QUORVEL_CFG=" + cfg}, o.outDir + "/" + q.name + ".log");
    for (const int64_t giveUp = nowNs() + 10000000000LL; lampAt < 0 && nowNs() < giveUp;) {
      pollfd p[2] = {{q.sim.fd, POLLIN, 0}, {q.camFds[0], POLLIN, 0}};
      poll(p, 2, 10);
      int64_t at = 0;
      if (helloAt < 0 && recvStamped(q.sim.fd, buf, sizeof buf, at, true) >= 13 &&
          (buf[0] & 0x10) && buf[12] == 0x01)
        helloAt = at;
      quorvel_sim::simPoll(q.sim, 0);
      ssize_t n = recvStamped(q.camFds[0], buf, sizeof buf, at);
      if (n >= 0) {
        lampAt = at;
        const Bytes& expected = expectedFor(q, 0);
        if (static_cast<size_t>(n) != expected.size() ||
            !std::equal(expected.begin(), expected.end(), buf))
          ++r.wrong;
      }
      if (childGone(q)) break;
    }
    if (lampAt < 0 || helloAt < 0 || inCmAt < 0) {
      ++r.missed;
      std::cerr << r.dump << ": no first lamp within 10 s; log:\n"
                << tail(o.outDir + "/" + q.name + ".log", 1000) << "\n";
    } else {
      r.helloMs.push_back(static_cast<double>(helloAt - start) / 1e6);
      r.lampAfterInCmMs.push_back(static_cast<double>(lampAt - inCmAt) / 1e6);
      r.lampMs.push_back(static_cast<double>(lampAt - start) / 1e6);
    }
    finish(subs);
  }
  return r;
}

// quorvel under packet loss and reordering, the switcher resending what is not acknowledged;
// with --fault-full it drives 64 cameras and every output, whose ends are drained throughout.
FaultResult faultPhase(const Options& o) {
  FaultResult r;
  if (o.faultMinutes <= 0) return r;
  std::vector<Subject> subs(1);
  Subject& q = subs[0];
  if (o.faultFull) {
    Shape every = rigShape(RIG_EVERY, o);
    every.tslRefreshMs = 1000;
    q = makeRig(every, o.addrFaults);
    q.name = "quorvel-faults";
    startRigs(subs, o);
  } else {
    q.kind = BRIDGE, q.name = "quorvel-faults", q.label = "quorvel", q.addr = o.addrFaults;
    startSubjects(subs, o, 1);
  }
  r.ran = true;
  r.minutes = o.faultMinutes;
  r.rate = o.faultRate;
  r.full = o.faultFull;
  q.sim.retransmitMs = 200;
  q.sim.faults = {5, 0, 5, 0};
  Bytes lamp;
  int64_t lampAt = 0;
  uint8_t buf[2048];
  // Serves the switcher and keeps the camera's last command until `until`.
  auto service = [&](int64_t until) {
    pollfd p[2] = {{q.sim.fd, POLLIN, 0}, {q.camFds[0], POLLIN, 0}};
    for (;;) {
      quorvel_sim::simPoll(q.sim, 0);
      for (ssize_t n; (n = recv(q.camFds[0], buf, sizeof buf, MSG_DONTWAIT)) > 0;) {
        lamp.assign(buf, buf + n);
        lampAt = nowNs();
      }
      for (size_t k = 1; k < q.camFds.size(); ++k) drain(q.camFds[k]);
      drainSinks(q);
      int64_t left = until - nowNs();
      if (left <= 0) return;
      left = std::min<int64_t>(left, 5000000LL);  // held-back packets are due on the clock
      timespec ts{0, static_cast<long>(left)};
      ppoll(p, 2, &ts, nullptr);
    }
  };
  const int64_t end = nowNs() + static_cast<int64_t>(o.faultMinutes * 60e9);
  int64_t nextPause = nowNs() + 5000000000LL;
  while (nowNs() < end) {
    quorvel_sim::simCut(q.sim, kMe);
    ++r.cuts;
    const int64_t cutAt = nowNs();
    service(cutAt + 1000000000LL / o.faultRate);
    if (nowNs() < nextPause) continue;
    service(nowNs() + 1000000000LL);
    ++r.pauses;
    if (r.rssStartKiB < 0) r.rssStartKiB = statusKiB(q.pid, "VmRSS:");
    // The lamp may have been right before the last cut came (a change reverted within the
    // hold-off sends nothing): then it caught up at once.
    if (lamp != expectedFor(q, 0))
      ++r.wrongAfterPause;
    else
      r.worstCatchUpMs = std::max(r.worstCatchUpMs, static_cast<double>(lampAt - cutAt) / 1e6);
    nextPause = nowNs() + 5000000000LL;
  }
  q.sim.faults = quorvel_sim::SimFaults{};
  r.lost = q.sim.packetsLost, r.reordered = q.sim.packetsReordered;
  r.resent = q.sim.retransmissions;
  service(nowNs() + 1500000000LL);
  for (int i = 0; i < 20; ++i) {
    service(nowNs() + 200000000LL);
    double us = 0;
    bool ok = true;
    bool got = timeCut(q, us, ok);
    ++r.cleanCuts;
    if (!got || !ok || us > 1e6) ++r.cleanLate;
    if (got) r.cleanMaxMs = std::max(r.cleanMaxMs, us / 1000);
  }
  service(nowNs() + 1000000000LL);
  // What the switcher still waits for, but for a packet (a keep-alive) just sent.
  const int64_t stale = quorvel_sim::simNowMs() - 500;
  for (const SimClient& c : q.sim.clients)
    for (const quorvel_sim::SimPacket& p : c.inFlight) r.unacknowledged += p.lastSendMs < stale;
  finish(subs);
  r.rssEndKiB = q.vmRssKiB;
  r.vmHwmKiB = q.vmHwmKiB;
  return r;
}

// quorvel with one HTTP camera (one request a state), the camera played here: how long from the
// switcher datagram to the request on the connection the bridge keeps open.
HttpResult httpPhase(const Options& o) {
  HttpResult r;
  if (o.httpCuts <= 0) return r;
  Subject q;
  q.kind = BRIDGE, q.name = "quorvel-http", q.addr = o.addrHttp;
  std::string error;
  if (!quorvel_sim::simOpen(q.sim, q.addr, quorvel_sim::kSimPort, &error)) die(error);
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(0x7F000001);
  socklen_t len = sizeof at;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&at), len) != 0 ||
      listen(listener, 4) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&at), &len))
    die("HTTP camera: cannot listen");
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(at.sin_port));
  const std::string cfg = o.outDir + "/" + q.name + ".json";
  std::ofstream(cfg) << "{\"atem_ip\": \"" << q.addr << "\", \"me_index\": " << kMe
                     << ", \"watch_input_id\": 1, \"lamp\": \"http\", \"http_program\": [\""
                     << url << "/program\"], \"http_preview\": [\"" << url
                     << "/preview\"], \"http_off\": [\"" << url << "/off\"]}\n";
  q.pid = spawn({o.quorvel}, {"QUORVEL_CFG=" + cfg}, o.outDir + "/" + q.name + ".log");
  int conn = -1;
  std::string request;
  // Serves the switcher and the camera until `until`, or until a request has begun when
  // `waitRequest`; answers every whole request with 200 on the same connection.
  auto serve = [&](int64_t until, bool waitRequest) {
    for (;;) {
      quorvel_sim::simPoll(q.sim, 0);
      int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0) {
        if (conn >= 0) close(conn);
        conn = fd, ++r.connections, request.clear();
      }
      char buf[4096];
      ssize_t n = conn >= 0 ? recv(conn, buf, sizeof buf, MSG_DONTWAIT) : -1;
      if (n > 0) {
        const bool began = request.empty();
        request.append(buf, static_cast<size_t>(n));
        for (size_t end; (end = request.find("\r\n\r\n")) != std::string::npos;) {
          request.erase(0, end + 4);
          const char ok[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
          send(conn, ok, sizeof ok - 1, MSG_NOSIGNAL);
        }
        if (waitRequest && began) return true;
      } else if (n == 0) {
        close(conn);
        conn = -1;
      }
      if (nowNs() >= until) return false;
      pollfd p[3] = {{q.sim.fd, POLLIN, 0}, {listener, POLLIN, 0}, {conn, POLLIN, 0}};
      poll(p, conn >= 0 ? 3 : 2, 1);
    }
  };
  if (!serve(nowNs() + 30000000000LL, true)) die("HTTP camera: no first request within 30 s");
  serve(nowNs() + 500000000LL, false);
  r.ran = true;
  for (int i = 0; i < o.warmupCuts + o.httpCuts; ++i) {
    serve(nowNs() + static_cast<int64_t>(o.spacingMs) * 1000000LL, false);
    const int64_t t0 = nowNs();
    quorvel_sim::simCut(q.sim, kMe);
    const bool got = serve(t0 + 1000000000LL, true);
    if (i < o.warmupCuts) continue;
    if (got)
      r.samplesUs.push_back(static_cast<double>(nowNs() - t0) / 1000.0);
    else
      ++r.lost;
  }
  serve(nowNs() + 200000000LL, false);
  std::vector<Subject> subs;
  subs.push_back(std::move(q));
  finish(subs);
  if (conn >= 0) close(conn);
  close(listener);
  return r;
}

void finish(std::vector<Subject>& subs) {
  for (Subject& s : subs) {
    if (childGone(s)) {
      std::cerr << s.name << " exited during the run (" << s.exitStatus << ")\n";
    } else {
      s.vmHwmKiB = vmHwmKiB(s.pid);
      s.vmRssKiB = statusKiB(s.pid, "VmRSS:");
    }
  }
  for (Subject& s : subs) {
    stopChild(s);
    quorvel_sim::simClose(s.sim);
    for (int fd : s.camFds) close(fd);
    for (Sink& k : s.sinks) {
      if (k.fd >= 0) close(k.fd);
      if (k.listenFd >= 0) close(k.listenFd);
      k.fd = k.listenFd = -1;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o = parse(argc, argv);
  signal(SIGPIPE, SIG_IGN);
  mkdir(o.outDir.c_str(), 0755);

  std::vector<Subject> subs = makeSubjects(o, o.addrs, "");

  time_t wall = time(nullptr);
  char date[64];
  strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", gmtime(&wall));
  std::string loadBefore = loadAverage();

  std::cerr << "[bench] starting " << subs.size() << " subjects\n";
  startSubjects(subs, o, 1);
  for (int run = 1; run <= o.runs; ++run) {
    std::cerr << "[bench] latency";
    if (o.runs > 1) std::cerr << ", run " << run << " of " << o.runs;
    std::cerr << ": " << o.cuts << " cuts each, every " << o.spacingMs << " ms\n";
    latencyPhase(subs, o, o.cuts, run);
  }
  std::cerr << "[bench] idle: " << o.idleSeconds << " s\n";
  idlePhase(subs, o.idleSeconds);
  for (Subject& s : subs) {
    std::cerr << "[bench] flood: " << s.name << ", " << o.floodSeconds << " s\n";
    floodPhase(s, subs, o);
  }
  finish(subs);

  // The one-camera instances are gone by now, so they add nothing to the machine's load here.
  std::vector<Subject> subs8;
  if (o.cuts8 > 0) {
    subs8 = makeSubjects(o, o.addrs8, "-8cam");
    std::cerr << "[bench] starting " << subs8.size() << " subjects with " << kCameras8
              << " cameras each\n";
    startSubjects(subs8, o, kCameras8);
    std::cerr << "[bench] " << kCameras8 << " cameras: " << o.cuts8 << " cuts each, every "
              << o.spacingMs << " ms\n";
    latencyPhase(subs8, o, o.cuts8, 1);
    finish(subs8);
  }
  HttpResult http;
  if (o.httpCuts > 0) {
    std::cerr << "[bench] HTTP camera: " << o.httpCuts << " cuts\n";
    http = httpPhase(o);
  }
  OutputsRun outs;
  if (o.outputsCuts > 0) {
    std::cerr << "[bench] outputs, page and " << kCameras64 << " cameras: " << kRigRoles
              << " instances, " << o.outputsCuts << " cuts each\n";
    outs.rigs = outputsPhase(o);
  }
  if (o.idleOutputs > 0) {
    std::cerr << "[bench] idle beside every output: " << o.idleOutputs << " s\n";
    outs.idle = idleOutputsPhase(o);
  }
  if (o.firstLampRuns > 0) {
    std::vector<std::string> dumps = dumpFiles(o.dumps);
    std::cerr << "[bench] time to first lamp: " << dumps.size() << " dumps, " << o.firstLampRuns
              << " starts each\n";
    for (const std::string& d : dumps) outs.lamps.push_back(firstLampPhase(d, o));
  }
  FaultResult faults;
  if (o.faultMinutes > 0) {
    std::cerr << "[bench] faults: " << o.faultMinutes << " min of loss and reordering, "
              << o.faultRate << " cuts/s" << (o.faultFull ? ", every output" : "") << "\n";
    faults = faultPhase(o);
  }
  std::string loadAfter = loadAverage();

  std::vector<Subject> all = subs;
  for (const Subject& s : subs8) all.push_back(s);
  writeData(all, o);
  writeOutputsData(outs, o);
  std::string md = report(subs, subs8, http, faults, outs, o, loadBefore, loadAfter, date);
  std::ofstream(o.outDir + "/RESULTS.md") << md;
  std::cout << md << std::flush;

  bool ok = true;
  for (const Subject& s : all) ok = ok && !s.samplesUs.empty() && s.wrongBytes == 0;
  if (faults.ran) ok = ok && faults.cleanLate == 0 && faults.unacknowledged == 0;
  for (const Subject& s : outs.rigs)
    ok = ok && !seriesOf(s, "camera").empty() && s.wrongBytes == 0;
  for (const FirstLamp& f : outs.lamps) ok = ok && !f.lampMs.empty();
  return ok ? 0 : 1;
}
