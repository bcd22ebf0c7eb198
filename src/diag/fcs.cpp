// The 16-bit frame check sequence of the diag frames: the PPP FCS-16 over the
// reflected polynomial 0x8408. Eight bytes at a time through eight tables (table k
// gives a byte's effect followed by k zero bytes), then one table lookup per byte.
#include "diag/frame_bytes.h"

namespace {

struct FcsTables {
  WORD t[8][256];
};

constexpr FcsTables MakeFcsTables() {
  FcsTables tables{};
  for (int b = 0; b < 256; ++b) {
    unsigned v = (unsigned)b;
    for (int bit = 0; bit < 8; ++bit) v = (v & 1) ? (v >> 1) ^ 0x8408 : v >> 1;
    tables.t[0][b] = (WORD)v;
  }
  for (int k = 1; k < 8; ++k) {
    for (int b = 0; b < 256; ++b) {
      const WORD previous = tables.t[k - 1][b];
      tables.t[k][b] = (WORD)((previous >> 8) ^ tables.t[0][previous & 0xFF]);
    }
  }
  return tables;
}

constexpr FcsTables kFcs = MakeFcsTables();

// Table 0 is the 256-entry FCS-16 table of RFC 1662.
static_assert(kFcs.t[0][0] == 0x0000 && kFcs.t[0][1] == 0x1189 && kFcs.t[0][2] == 0x2312 &&
                  kFcs.t[0][3] == 0x329B && kFcs.t[0][255] == 0x0F78,
              "the FCS-16 table of RFC 1662");

}  // namespace

WORD DiagFcs16(const BYTE* data, int length, WORD fcs) {
  int i = 0;
  for (; i + 8 <= length; i += 8) {
    const BYTE* p = data + i;
    fcs = (WORD)(kFcs.t[7][(p[0] ^ fcs) & 0xFF] ^ kFcs.t[6][(p[1] ^ (fcs >> 8)) & 0xFF] ^ kFcs.t[5][p[2]] ^
                 kFcs.t[4][p[3]] ^ kFcs.t[3][p[4]] ^ kFcs.t[2][p[5]] ^ kFcs.t[1][p[6]] ^ kFcs.t[0][p[7]]);
  }
  for (; i < length; ++i) {
    fcs = (WORD)((fcs >> 8) ^ kFcs.t[0][(fcs ^ data[i]) & 0xFF]);
  }
  return fcs;
}
