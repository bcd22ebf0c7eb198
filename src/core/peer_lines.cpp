#include "core/peer_lines.h"

#include "platform/platform.h"

namespace {

void Say(PeerLines* lines, int kind) {
  const unsigned long long n = lines->unsaid[kind];
  lines->unsaid[kind] = 0;
  if (n == 0) return;
  if (kind == PEER_LINE_UNKNOWN_TYPE) {
    print_message(L"BTFTM: %llu more bytes of unknown HCI packet type from remote, not shown one by one (counted as "
                  L"unknown type in the run summary)\n",
                  n);
  } else {
    print_message(L"BTFTM : %llu more diag requests answered, not shown one by one\n", n);
  }
}

}  // namespace

bool ShowPeerLine(PeerLines* lines, PeerLineKind kind) {
  if (lines == nullptr) return true;
  if (!lines->flooding[kind] && lines->shown[kind] < PEER_LINES_PER_RECEIVE) {
    ++lines->shown[kind];
    return true;
  }
  ++lines->hidden[kind];
  return false;
}

void EndPeerReceive(PeerLines* lines) {
  if (lines == nullptr) return;
  for (int kind = 0; kind < PEER_LINE_KINDS; ++kind) {
    const uint64_t hidden = lines->hidden[kind];
    lines->shown[kind] = 0;
    lines->hidden[kind] = 0;
    if (hidden == 0) {
      // No line of the kind in this receive at all while flooding: the flood is over.
      if (lines->flooding[kind]) Say(lines, kind);
      lines->flooding[kind] = false;
      continue;
    }
    lines->unsaid[kind] += hidden;
    if (!lines->flooding[kind] || lines->unsaid[kind] >= PEER_LINES_SAY_EVERY) Say(lines, kind);
    lines->flooding[kind] = true;
  }
}

void EndPeerLines(PeerLines* lines) {
  if (lines == nullptr) return;
  for (int kind = 0; kind < PEER_LINE_KINDS; ++kind) Say(lines, kind);
}
