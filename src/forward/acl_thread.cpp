// The ACL reader: keeps one ACL read pending, counts each packet and forwards it to the
// test host.
#include "forward/forward.h"

#include "diag/diag.h"
#include "forward/packet_bytes.h"
#include "forward/reader_common.h"

#include <cstring>

namespace {

const RequestTexts kAclReadTexts = {
    L"AclThread:Read happened synchronously\n",
    L"BTFTM : AclThread Error:Invalid Parameter\n",
    L"AclThread: Read:Error:Invalid Parameter\n",
    L"AclThread:Read: GetOverlappedResult I/O Incomplete\n",
    L"AclThread:Read:Error1: in deafult dwError=0x%X\n",
    L"BTFTM : AclThread Error:in default. Error -0x%X\n",
    L"BTFTM : AclThread: read Pending\n",
};

const ReaderLines kAclLines = {
    L"FtmApp:AclThread: Error in Creating Overlapped event\n",
    L"BTFTM : AclThread, Can't find socket\n",
    L"BTFTM : AclThread, socket Send failed\n",
    L"BTFTM : AclThread, driver device is gone (Error -0x%X), stopping\n",
    L"BTFTM : App is exiting, coming out of ACL read thread\n",
    L"BTFTM : AclThread--\n",
};

}  // namespace

DWORD WINAPI AclThread(LPVOID context) {
  FtmAppContext* ctx = static_cast<FtmAppContext*>(context);
  ReaderRecord* reader = &ctx->aclReader;
  BYTE buffer[ACL_BUFFER_SIZE];
  BYTE* packet = buffer + H4_HEADROOM;  // read one byte in: the type byte goes in front
  unsigned received = 0;
  const DriverRequest request = ReaderRequest(reader, IOCTL_BTFTM_READ_ACL, packet, wire::kAclReadSize, kAclReadTexts);

  print_message(L"BTFTM: AclThread++\n");
  CreateReadEvent(reader, kAclLines);

  while (ReaderRunning(ctx)) {
    memset(buffer, 0, sizeof(buffer));
    ReadResult got = ReadFromDriver(ctx, request, kAclLines);
    if (got == READ_NOTHING) continue;
    int length = AclPacketLength(packet, wire::kAclReadSize);
    ++received;
    print_message(L"\nBTFTM : Received #%d ACL packet from btsoc, length is: %d\n", (int)received, length);
    if (!AclPacketFitsRead(length)) {
      print_message(L"BTFTM : AclThread, data length %d is more than the read can hold (%d), dropped\n",
                    length - 4, wire::kAclMaxData);
      CountDrop(&ctx->tap.drops, DROP_OVERSIZED);
    } else {
      ForwardPacket(ctx, packet, length, H4_ACL, LOG_CODE_ACL, LOG_TAG_ACL, kAclLines);
    }
    FinishRead(reader, got);
  }
  return EndReader(kAclLines);
}
