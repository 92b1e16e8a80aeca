// Marks the functions on the path from a switcher datagram to the camera datagrams. The compiler
// places them side by side (.text.hot), so that after a quiet spell, when caches and TLBs hold
// other programs' pages, the path touches few pages of code.
#pragma once

#define QUORVEL_HOT __attribute__((hot))
