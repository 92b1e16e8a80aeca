#include "visca/visca_ladder.h"
#include "base/hot.h"

QUORVEL_HOT Ladder buildLadder(const CommandForms& forms, LadderFlags flags) {
  Ladder l;
  const Bytes* pairs[2][2] = {{&forms.plain, &forms.prefixed},
                              {&forms.schemeA, &forms.schemeAPrefixed}};
  // VISCA over IP framing goes on the bare commands sent by UDP; the prefixed forms carry a
  // header of their own.
  auto add = [&](bool tcp, const Bytes* bytes) {
    const bool bare = bytes == &forms.plain || bytes == &forms.schemeA;
    l.rungs[l.count++] = Rung{tcp, !tcp && flags.framed && bare, bytes};
  };
  for (int pair = 0; pair < (flags.bothOps ? 2 : 1); ++pair) {
    const Bytes* plain = pairs[pair][0];
    const Bytes* prefixed = pairs[pair][1];
    const bool withPrefix = flags.prefix && !prefixed->empty();
    if (flags.tcpFirst) {
      add(true, plain);
      if (withPrefix) add(true, prefixed);
    }
    add(false, plain);
    if (withPrefix) add(false, prefixed);
    if (flags.tcp && !flags.tcpFirst) {
      add(true, plain);
      if (withPrefix) add(true, prefixed);
    }
  }
  return l;
}
