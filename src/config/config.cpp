#include "config/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

Config configFromJson(const JsonValue& root) {
  Config c;
  c.atem_ip = root["atem_ip"].asString("");
  c.me_index = root["me_index"].asInt(c.me_index);
  c.watch_input_id = root["watch_input_id"].asInt(c.watch_input_id);
  c.visca_host = root["visca_host"].asString(c.visca_host);
  c.visca_port = root["visca_port"].asInt(c.visca_port);
  c.bind_source_ip = root["bind_source_ip"].asString(c.bind_source_ip);
  c.compat_try_prefix = root["compat_try_prefix"].asBool(c.compat_try_prefix);
  c.compat_try_tcp = root["compat_try_tcp"].asBool(c.compat_try_tcp);
  c.compat_try_both_ops = root["compat_try_both_ops"].asBool(c.compat_try_both_ops);
  c.visca_program = root["visca_program"].asString(c.visca_program);
  c.visca_preview = root["visca_preview"].asString(c.visca_preview);
  c.visca_off = root["visca_off"].asString(c.visca_off);
  return c;
}

bool readConfigFile(const std::string& path, std::string& text, std::string& error) {
  // O_NONBLOCK: opening a FIFO for reading must not wait for a writer.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  struct stat st;
  bool ok = false;
  if (::fstat(fd, &st) != 0) {
    error = std::strerror(errno);
  } else if (S_ISDIR(st.st_mode)) {
    error = std::strerror(EISDIR);
  } else if (!S_ISREG(st.st_mode)) {
    error = "not a regular file";
  } else if (static_cast<uint64_t>(st.st_size) > kMaxConfigBytes) {
    error = "larger than 1 MiB";
  } else {
    // Some regular files (under /proc, say) report no size: read to the end, one byte past the
    // limit at most.
    text.clear();
    char buf[65536];
    ok = true;
    for (;;) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error = std::strerror(errno);
        ok = false;
        break;
      }
      if (n == 0) break;
      text.append(buf, static_cast<size_t>(n));
      if (text.size() > kMaxConfigBytes) {
        error = "larger than 1 MiB";
        ok = false;
        break;
      }
    }
  }
  ::close(fd);
  return ok;
}

// A number field outside [lo, hi] is refused, naming the key and the allowed range.
static bool inRange(const char* key, int32_t value, int32_t lo, int32_t hi, std::string& error) {
  if (value >= lo && value <= hi) return true;
  error = std::string("[ERR] Config '") + key + "' must be " + std::to_string(lo) + "-" +
          std::to_string(hi) + ", not " + std::to_string(value);
  return false;
}

bool loadConfig(const std::string& path, Config& config, std::string& error) {
  std::string text, why;
  if (!readConfigFile(path, text, why)) {
    error = "[ERR] Cannot open config file: " + path + " (" + why + ")";
    return false;
  }
  JsonValue root;
  try {
    root = parseJson(text);
  } catch (const std::length_error&) {
    error = "[ERR] Config file is nested too deeply: " + path;
    return false;
  } catch (const std::logic_error&) {
    // std::invalid_argument and std::out_of_range from a number token.
    error = "[ERR] Cannot read a number in config file: " + path;
    return false;
  }
  if (!root.has("atem_ip")) {
    error = "[ERR] Config missing 'atem_ip'";
    return false;
  }
  config = configFromJson(root);
  if (config.visca_host.empty()) {
    error = "[ERR] Config missing 'visca_host'";
    return false;
  }
  return inRange("visca_port", config.visca_port, 1, 65535, error) &&
         inRange("watch_input_id", config.watch_input_id, 0, 65535, error);
}
