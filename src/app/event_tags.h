// What an epoll event's 64-bit tag says: the kind of descriptor, whose it is (a camera's or an
// output's id from the core), and the descriptor itself (numbers are reused once closed, so an
// event is acted on only when the fd still belongs to that owner).
#pragma once

#include <cstdint>

enum : uint64_t {
  kTagSwitcher = 1,
  kTagTcp = 2,
  kTagLog = 3,
  kTagHttp = 4,
  kTagTsl = 5,
  kTagTally = 6,
  kTagWeb = 7,
};
constexpr uint32_t kIdMask = 0xFFFFFF;

inline uint64_t tag(uint64_t kind, uint32_t owner, int fd) {
  return kind << 56 | uint64_t{owner & kIdMask} << 32 | static_cast<uint32_t>(fd);
}
