// Console lines that the test host's bytes cause one by one (a line per stray byte, per
// answered diag request) are bounded, so that a peer cannot fill the console, the journal
// or the disk with them. In each receive the first PEER_LINES_PER_RECEIVE lines of a kind
// are printed as always; the rest are counted, and one line says how many more there were.
// While a kind keeps overflowing receive after receive (a flood), none of its lines are
// printed and its count is said when the flood ends, when the connection ends, and once
// every PEER_LINES_SAY_EVERY lines in between.
#pragma once

#include <cstdint>

enum { PEER_LINES_PER_RECEIVE = 32 };
static const uint64_t PEER_LINES_SAY_EVERY = 1u << 20;

enum PeerLineKind {
  PEER_LINE_UNKNOWN_TYPE,  // a byte that starts no H4 packet (raw mode)
  PEER_LINE_DIAG_ANSWER,   // a diag request answered with lines of its own (diag mode)
  PEER_LINE_KINDS
};

// The receive thread's alone.
struct PeerLines {
  int shown[PEER_LINE_KINDS] = {};        // in this receive
  uint64_t hidden[PEER_LINE_KINDS] = {};  // in this receive
  uint64_t unsaid[PEER_LINE_KINDS] = {};  // hidden and not said yet
  bool flooding[PEER_LINE_KINDS] = {};
};

// True when the line of that kind is to be printed; false when it is counted instead.
// lines may be nullptr (byte work without a connection): every line is printed.
bool ShowPeerLine(PeerLines* lines, PeerLineKind kind);
// After each receive: says the lines it hid, as above.
void EndPeerReceive(PeerLines* lines);
// At the end of the connection: says every hidden line not said yet.
void EndPeerLines(PeerLines* lines);
