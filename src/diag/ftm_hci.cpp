// The HCI command inside an FTM subsystem request: header 4B 0B 04 00, command length
// at offset 6 (packet type and command together), packet type 0x01 at offset 10, the
// command from offset 11 with the request's escape pairs still in it.
#include "core/hex_dump.h"
#include "diag/diag.h"
#include "diag/request_bytes.h"

namespace {

enum {
  FTM_HCI_COMMAND_AREA = 512,
  FTM_HCI_LENGTH_OFFSET = 6,
  FTM_HCI_TYPE_OFFSET = 10,
  FTM_HCI_COMMAND_OFFSET = 11,
};

bool IsFtmHciHeader(const BYTE* request, int bufferSize) {
  return RequestByte(request, bufferSize, FTM_HCI_TYPE_OFFSET) == H4_TYPE_COMMAND && RequestByte(request, bufferSize, 1) == 0x0B &&
         RequestByte(request, bufferSize, 2) == 0x04 && RequestByte(request, bufferSize, 3) == 0x00;
}

// Produces exactly count command bytes from offset 11: 7D 5D and 7D 5E stand for 7D and
// 7E; any other byte, a lone 7D included, stands for itself.
void UnescapeCommand(const BYTE* request, int bufferSize, BYTE* command, int count) {
  int in = FTM_HCI_COMMAND_OFFSET;
  for (int out = 0; out < count; ++out) {
    const BYTE value = RequestByte(request, bufferSize, in);
    const BYTE next = RequestByte(request, bufferSize, in + 1);
    if (value == DIAG_ESCAPE && (next == 0x5D || next == 0x5E)) {
      command[out] = (BYTE)(next ^ 0x20);
      in += 2;
    } else {
      command[out] = value;
      in += 1;
    }
  }
}

}  // namespace

void HandleFtmHciCommand(const BYTE* request, int bufferSize, const DriverWriter& writer, DropCounts* drops) {
  if (!IsFtmHciHeader(request, bufferSize)) return;

  const int commandLength = RequestByte(request, bufferSize, FTM_HCI_LENGTH_OFFSET);
  if (commandLength == 0) {
    // Without even its packet type byte there is no command to write.
    print_message(L"BTFTM: HCI cmd length is 0, nothing sent to btsoc\n");
    CountDrop(drops, DROP_MALFORMED);
    return;
  }

  // Every one of the count bytes is written below, and nothing behind them is read.
  BYTE command[FTM_HCI_COMMAND_AREA];
  const int count = commandLength - 1;
  UnescapeCommand(request, bufferSize, command, count);
  writer.sendHciCmd(writer.context, command, count);
  PrintHciCommand(command, count);
}
