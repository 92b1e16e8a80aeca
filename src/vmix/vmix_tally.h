// The tally part of the vMix TCP API, which many wireless tally lights and tools read (port 8099).
// Text lines ending in CR LF (a bare LF is taken too), client to server:
//   SUBSCRIBE TALLY     -> SUBSCRIBE OK TALLY, then TALLY OK <digits> at once and after every
//                          change until the client unsubscribes or leaves
//   TALLY               -> TALLY OK <digits>, once
//   UNSUBSCRIBE TALLY   -> UNSUBSCRIBE OK TALLY; no more change lines
//   any other command   -> <COMMAND> ER Not supported   (COMMAND: the line's first word)
// <digits> has one digit per input 1..N: 0 off, 1 program, 2 preview. Command words are matched
// without regard to case; an empty line is ignored. A line longer than 1024 bytes (its line end
// not counted) ends the connection, which bounds what one client can make the server hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint16_t kVmixTallyPort = 8099;
constexpr size_t kVmixMaxLine = 1024;

enum class VmixTally : uint8_t { OFF = 0, PROGRAM = 1, PREVIEW = 2 };

// One client connection.
struct VmixClient {
  std::string pending;      // received bytes after the last line end
  bool subscribed = false;  // gets a change line on every change
};

// Reads `size` received bytes and appends the answers to every complete line to `out`, the
// tally lines with `digits` (see vmixDigits). False when the connection is to be closed (a line
// too long): the answers appended before it are still to be sent.
bool vmixFeed(VmixClient& client, const uint8_t* data, size_t size, const std::string& digits,
              std::string& out);

// After a change of the tally: appends the new tally line for a subscribed client.
void vmixChanged(const VmixClient& client, const std::string& digits, std::string& out);

// One digit per input, input 1 first.
std::string vmixDigits(const std::vector<VmixTally>& inputs);

// "TALLY OK <digits>\r\n".
std::string vmixTallyLine(const std::string& digits);
