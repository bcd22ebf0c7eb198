#include "hostlink/raw_demux.h"

#include "core/hex_dump.h"
#include "wire/h4.h"

#include <cstring>

namespace {

// Bytes behind the type byte at index, by the H4 grammar. A header byte that has not
// arrived yet counts as 0; it is never read past total.
int PacketSize(const BYTE* buf, int total, int index) {
  const uint8_t type = buf[index];
  const int headerSize = (int)H4HeaderSize(type);
  uint8_t header[4] = {0, 0, 0, 0};
  for (int i = 0; i < headerSize && index + 1 + i < total; ++i) header[i] = buf[index + 1 + i];
  return headerSize + (int)H4PayloadSize(type, header);
}

void WriteAcl(const BYTE* packet, int length, RawDemuxState* state, const DriverWriter& writer) {
  writer.sendAclData(writer.context, packet, length);
  ++state->aclPacketCount;
  print_message(L"BTFTM: Sent #%d ACL packet to btsoc, length is: %d\n", state->aclPacketCount, length);
}

}  // namespace

int DemuxRawPackets(BYTE* buf, int total, RawDemuxState* state, const DriverWriter& writer) {
  int index = 0;
  if (total > 0 && state->skipRemaining > 0) {
    index = state->skipRemaining < total ? state->skipRemaining : total;
    state->skipRemaining -= index;
  }
  while (index < total) {
    const int type = buf[index];
    if (type != H4_COMMAND && type != H4_ACL && type != H4_SCO) {
      if (ShowPeerLine(state->lines, PEER_LINE_UNKNOWN_TYPE))
        print_message(L"BTFTM: unknow HCI packet type from remote, index is %d, type is %d\n", index, type);
      CountDrop(state->drops, DROP_UNKNOWN_TYPE);
      ++index;
      continue;
    }
    const int size = PacketSize(buf, total, index);  // bytes behind the type byte
    // The SCO rule goes by the length as it stands, a length byte still to come counting
    // as 0, and runs again when the packet is carried and seen anew.
    if (type == H4_SCO) ApplyScoPacketRule(size, writer);

    if (1 + size > HOST_RECV_CAPACITY) {
      // Only an ACL packet can be this long. It would never fit the buffer, so its bytes
      // are let go as they arrive and the stream stays in step with the next packet.
      print_message(L"BTFTM: ACL packet from remote too long for the receive buffer, length is: %d, skipping it\n",
                    size);
      CountDrop(state->drops, DROP_OVERSIZED);
      state->skipRemaining = 1 + size - (total - index);
      return 0;
    }

    const int end = index + size;  // position of the packet's last byte
    if (end >= total) {
      const int carry = total - index;
      memmove(buf, buf + index, carry);
      return carry;
    }
    const BYTE* packet = buf + index + 1;
    if (type == H4_COMMAND) {
      writer.sendHciCmd(writer.context, packet, size);
      PrintHciCommand(packet, size);
    } else if (type == H4_ACL) {
      WriteAcl(packet, size, state, writer);
    } else {
      writer.sendScoData(writer.context, packet, size);
    }
    index = end + 1;
  }
  return 0;
}
