// The frame sender: frames one packet, dumps it when asked and hands the whole frame
// to the one sender towards the test host.
#include "core/hex_dump.h"
#include "diag/diag.h"

namespace {

// A packet that cannot be framed is noted all the same: what is dropped here was still
// received from the controller.
void NoteUnsent(const HostSendNote* note) {
  if (note != nullptr) note->note(note->context);
}

// Frames the packet made of head and body, in that order, and sends the frame. The frame
// is the only copy of the packet's bytes: the head and the body are encoded where they lie.
void SendFramed(HostSender* host, const BYTE* head, int headLength, const BYTE* body, int bodyLength, int escape,
                int verbose, const HostSendNote* note) {
  BYTE frame[DIAG_FRAME_AREA];  // the encoder writes every byte that is sent or dumped
  const int length = headLength + bodyLength;

  if (length > DIAG_MAX_PACKET) {
    print_message(L"Input data is too large. Length = %d \n", length);
    CountDrop(DropsOf(host), DROP_OVERSIZED);
    NoteUnsent(note);
    return;
  }
  const int frameLength = EncodeHeadedDiagFrame(head, headLength, body, bodyLength, escape, frame, DIAG_FRAME_AREA);
  if (frameLength < 0) {
    // Only a negative length or a missing packet gets here: the area fits every frame.
    print_message(L"BTFTM : DiagPrintToStream, invalid packet (length %d), nothing sent\n", length);
    CountDrop(DropsOf(host), DROP_MALFORMED);
    NoteUnsent(note);
    return;
  }

  if (verbose) {
    wchar_t items[DIAG_FRAME_AREA * HEX_ITEM_CHARS + 1];
    FormatHexItems(frame, frameLength, false, items, (int)(sizeof items / sizeof items[0]));
    print_message(L"\nBTFTM : DiagPrintToStream Send[%d]: %ls\n", frameLength, items);
  }

  const int sent = SendToTestHost(host, frame, frameLength, note);
  if (sent == HOST_SEND_NO_SOCKET) {
    print_message(L"BTFTM : DiagPrintToStream, Can't find socket\n");
  } else if (sent != frameLength) {
    print_message(L"BTFTM : DiagPrintToStream, Send failed\n");
  }
}

}  // namespace

void DiagPrintToStream(HostSender* host, const BYTE* data, int length, int escape, int verbose,
                       const HostSendNote* note) {
  SendFramed(host, data, length, nullptr, 0, escape, verbose, note);
}

void DiagSendLogPacket(HostSender* host, const BYTE* packet, int length, WORD logCode, WORD tag,
                       const HostSendNote* note) {
  BYTE header[LOG_HEADER_SIZE];
  WriteLogHeader(header, length, logCode, tag);
  SendFramed(host, header, LOG_HEADER_SIZE, packet, length, 1, 1, note);
}
