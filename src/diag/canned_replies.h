// The constant replies of the diag responder. Each starts with the request code it answers.
#pragma once

#include "platform/platform.h"

struct CannedReply {
  const BYTE* bytes;
  int length;
};

extern const CannedReply kVersionReply;     // code 0x00, 55 bytes
extern const CannedReply kEsnReply;         // code 0x01, 5 bytes
extern const CannedReply kStatusReply;      // code 0x0C, 48 bytes
extern const CannedReply kNvItemReadReply;  // code 0x26, 69 bytes
extern const CannedReply kPhoneStateReply;  // code 0x3F, 4 bytes
extern const CannedReply kLogMaskOp1Reply;  // code 0x73 operation 1, 76 bytes
extern const CannedReply kLogMaskOp4Reply;  // code 0x73 operation 4, 201 bytes
