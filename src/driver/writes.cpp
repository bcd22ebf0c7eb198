// The three writes of the main thread: HCI commands, ACL data and SCO data.
#include "driver/driver.h"
#include "wire/h4.h"

namespace {

// The messages of one kind of write, each led by the name of its function.
#define TARNEXIO_WRITE_TEXTS(name, synchronous)                                                          \
  {                                                                                                      \
    name synchronous, name L": Error:Invalid Parameter\n", name L": Error:Invalid Parameter\n",           \
        name L": GetOverlappedResult I/O Incomplete\n", name L": Error1: in deafult dwError=0x%X\n",       \
        name L": Error:in default. Error -0x%X\n", nullptr                                               \
  }

struct WriteKind {
  DWORD code;
  BYTE h4Type;                       // as the capture sees the packet
  OVERLAPPED WriteRecords::*record;  // the record of this kind's request
  RequestTexts texts;
};

const WriteKind kCommandWrite = {IOCTL_BTFTM_SEND_HCI_CMD, H4_COMMAND, &WriteRecords::command,
                                 TARNEXIO_WRITE_TEXTS(L"SendHciCmd", L": CMD write happened synchronously\n")};
const WriteKind kAclWrite = {IOCTL_BTFTM_SEND_ACL, H4_ACL, &WriteRecords::acl,
                             TARNEXIO_WRITE_TEXTS(L"SendAclData", L": ACL write happened synchronously\n")};
const WriteKind kScoWrite = {IOCTL_BTFTM_SEND_SCO, H4_SCO, &WriteRecords::sco,
                             TARNEXIO_WRITE_TEXTS(L"SendScoData", L": SCO write happened synchronously, dwError=%d\n")};

#undef TARNEXIO_WRITE_TEXTS

void RunWrite(FtmAppContext* ctx, const WriteKind& kind, const BYTE* packet, int length, LPVOID out, DWORD outSize) {
  TapPacket(&ctx->tap, BTSNOOP_TO_CONTROLLER, kind.h4Type, packet, length);
  DWORD count = 0;
  const DriverRequest request = {kind.code, (LPVOID)packet, (DWORD)length, out, outSize,
                                 &(ctx->writes.*kind.record), &count, &kind.texts};
  RequestResult result = RunOverlappedRequest(ctx->driver.hDriver.load(), request);
  if (result.outcome == REQUEST_DONE) FinishRequest(request.record);
}

}  // namespace

void SendHciCmd(FtmAppContext* ctx, const BYTE* command, int length) {
  // A type 2 driver takes a 4-byte output holding 1 with every command.
  DWORD type2Output = wire::kType2CmdOutput;
  bool type2 = ctx->driver.drvType.load() == DRV_TYPE_BTFTMDRIVER;
  RunWrite(ctx, kCommandWrite, command, length, type2 ? &type2Output : nullptr, type2 ? sizeof type2Output : 0);
}

void SendAclData(FtmAppContext* ctx, const BYTE* packet, int length) { RunWrite(ctx, kAclWrite, packet, length, nullptr, 0); }

void SendScoData(FtmAppContext* ctx, const BYTE* packet, int length) { RunWrite(ctx, kScoWrite, packet, length, nullptr, 0); }

namespace {

FtmAppContext* Record(void* context) { return static_cast<FtmAppContext*>(context); }
void WriteCommand(void* context, const BYTE* command, int length) { SendHciCmd(Record(context), command, length); }
void WriteAcl(void* context, const BYTE* packet, int length) { SendAclData(Record(context), packet, length); }
void WriteSco(void* context, const BYTE* packet, int length) { SendScoData(Record(context), packet, length); }
void WriteSelection(void* context, BYTE interfaceId) {
  FtmAppContext* ctx = Record(context);
  SelectScoInf(&ctx->sco, &ctx->driver, interfaceId);
}

}  // namespace

DriverWriter DriverWriterFor(FtmAppContext* ctx) {
  return {ctx, WriteCommand, WriteAcl, WriteSco, WriteSelection};
}
