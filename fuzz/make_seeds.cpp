// Writes generated seed inputs for the fuzz targets:
//   <out>/atem_datagram/  every packet of every recorded switcher dump, behind a 12-byte header
//                         that asks for an acknowledgement, handled while CONNECTED; the first
//                         packet of each dump also while CONNECTING and DISCONNECTED
//   <out>/config/         documents nested around the reader's depth limit
// Usage: make_seeds DUMPS_DIR OUT_DIR
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/bytes.h"

namespace fs = std::filesystem;

static void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// First byte: the state the datagram is handled in; then the datagram.
static std::string datagram(int state, uint16_t packetId, const std::vector<uint8_t>& payload) {
  const size_t length = 12 + payload.size();
  std::string d;
  d += static_cast<char>(state);
  d += static_cast<char>(0x08 | ((length >> 8) & 0x07));
  d += static_cast<char>(length & 0xFF);
  d += static_cast<char>(0x80);
  d += static_cast<char>(0x01);
  d.append(6, '\0');
  d += static_cast<char>(packetId >> 8);
  d += static_cast<char>(packetId & 0xFF);
  d.append(payload.begin(), payload.end());
  return d;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_seeds DUMPS_DIR OUT_DIR\n");
    return 2;
  }
  const fs::path dumps = argv[1], out = argv[2];
  fs::create_directories(out / "atem_datagram");
  fs::create_directories(out / "config");

  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(dumps))
    if (e.path().extension() == ".data") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  size_t packets = 0;
  for (const fs::path& f : files) {
    std::ifstream in(f);
    std::string line;
    uint16_t id = 0;
    while (std::getline(in, line)) {
      Bytes payload;
      if (!hexPairsToBytes(line, payload) || payload.empty()) continue;
      ++id;
      std::string stem = f.stem().string() + "-" + std::to_string(id);
      writeFile(out / "atem_datagram" / stem, datagram(2, id, payload));
      if (id == 1) {
        writeFile(out / "atem_datagram" / (stem + "-connecting"), datagram(1, id, payload));
        writeFile(out / "atem_datagram" / (stem + "-disconnected"), datagram(0, id, payload));
      }
      ++packets;
    }
  }
  if (packets == 0) {
    std::fprintf(stderr, "make_seeds: no dump packets found in %s\n", dumps.c_str());
    return 1;
  }

  for (int depth : {64, 511, 512, 513, 2000}) {
    writeFile(out / "config" / ("arrays-" + std::to_string(depth)),
              "{\"atem_ip\": \"127.0.0.1\", \"x\": " + std::string(depth, '[') + "1" +
                  std::string(depth, ']') + "}");
    std::string objects;
    for (int i = 0; i < depth; ++i) objects += "{\"k\":";
    objects += "\"v\"" + std::string(depth, '}');
    writeFile(out / "config" / ("objects-" + std::to_string(depth)), objects);
  }
  std::printf("make_seeds: %zu dump packets from %zu files\n", packets, files.size());
  return 0;
}
