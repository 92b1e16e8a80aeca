#include "visca/visca_ladder.h"
#include "base/hot.h"

QUORVEL_HOT Ladder buildLadder(const CommandSet& c, const CameraConfig& camera, TallyState state) {
  Ladder l;
  l.state = state;
  const Bytes* pairs[2][2] = {{&c.off, &c.offP}, {&c.offA, &c.offAP}};
  if (state == PROGRAM) {
    pairs[0][0] = &c.program, pairs[0][1] = &c.programP;
    pairs[1][0] = &c.programA, pairs[1][1] = &c.programAP;
  } else if (state == PREVIEW) {
    pairs[0][0] = &c.preview, pairs[0][1] = &c.previewP;
    pairs[1][0] = &c.previewA, pairs[1][1] = &c.previewAP;
  }
  auto add = [&](bool tcp, const Bytes* bytes) { l.rungs[l.count++] = Rung{tcp, bytes}; };
  for (int pair = 0; pair < (camera.compat_try_both_ops ? 2 : 1); ++pair) {
    const Bytes* plain = pairs[pair][0];
    const Bytes* prefixed = pairs[pair][1];
    const bool withPrefix = camera.compat_try_prefix && !prefixed->empty();
    add(false, plain);
    if (withPrefix) add(false, prefixed);
    if (camera.compat_try_tcp) {
      add(true, plain);
      if (withPrefix) add(true, prefixed);
    }
  }
  return l;
}
