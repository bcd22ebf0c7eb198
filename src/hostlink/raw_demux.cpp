#include "hostlink/raw_demux.h"

#include "diag/hex_dump.h"

#include <cstring>

namespace {

// A header byte that has not arrived yet counts as 0; it is never read past total.
int HeaderByte(const BYTE* buf, int total, int position) {
  return position < total ? buf[position] : 0;
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
    int size;  // bytes behind the type byte
    if (type == H4_TYPE_COMMAND) {
      size = HeaderByte(buf, total, index + 3) + 3;
    } else if (type == H4_TYPE_ACL) {
      size = HeaderByte(buf, total, index + 3) + 256 * HeaderByte(buf, total, index + 4) + 4;
    } else if (type == H4_TYPE_SCO) {
      size = HeaderByte(buf, total, index + 3) + 3;
      ApplyScoPacketRule(size, writer);
    } else {
      print_message(L"BTFTM: unknow HCI packet type from remote, index is %d, type is %d\n", index, type);
      ++index;
      continue;
    }

    if (1 + size > HOST_RECV_CAPACITY) {
      // Only an ACL packet can be this long. It would never fit the buffer, so its bytes
      // are let go as they arrive and the stream stays in step with the next packet.
      print_message(L"BTFTM: ACL packet from remote too long for the receive buffer, length is: %d, skipping it\n",
                    size);
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
    if (type == H4_TYPE_COMMAND) {
      writer.sendHciCmd(writer.context, packet, size);
      PrintHciCommand(packet, size);
    } else if (type == H4_TYPE_ACL) {
      WriteAcl(packet, size, state, writer);
    } else {
      writer.sendScoData(writer.context, packet, size);
    }
    index = end + 1;
  }
  return 0;
}
