// The HCI command inside an FTM subsystem request goes to the controller.
#include "diag/diag.h"
#include "core/hex_dump.h"

void HandleFtmHciCommand(const BYTE* request, int bufferSize, const DriverWriter& writer, DropCounts* drops) {
  BYTE command[FTM_HCI_MAX_COMMAND];
  const int count = ParseFtmHciRequest(request, bufferSize, command);
  if (count == FTM_HCI_NOT_HCI) return;
  if (count == FTM_HCI_EMPTY) {
    // Without even its packet type byte there is no command to write.
    print_message(L"BTFTM: HCI cmd length is 0, nothing sent to btsoc\n");
    CountDrop(drops, DROP_MALFORMED);
    return;
  }
  writer.sendHciCmd(writer.context, command, count);
  PrintHciCommand(command, count);
}
