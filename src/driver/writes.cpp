// The three writes of the main thread: HCI commands, ACL data and SCO data.
#include "driver/driver.h"

static void RunWrite(FtmAppContext* ctx, DWORD code, const BYTE* packet, int length, LPVOID out, DWORD outSize, OVERLAPPED* record,
                     const RequestTexts& texts) {
  DWORD count = 0;
  HANDLE driver = ctx->hDriver.load();
  RequestResult result = RunOverlappedRequest(driver, code, (LPVOID)packet, (DWORD)length, out, outSize, &count,
                                              &count, record, texts);
  if (result.outcome == REQUEST_DONE) FinishRequest(ctx, record);
}

void SendHciCmd(FtmAppContext* ctx, const BYTE* command, int length) {
  static const RequestTexts texts = {
      L"SendHciCmd: CMD write happened synchronously\n",
      L"SendHciCmd: Error:Invalid Parameter\n",
      L"SendHciCmd: Error:Invalid Parameter\n",
      L"SendHciCmd: GetOverlappedResult I/O Incomplete\n",
      L"SendHciCmd: Error1: in deafult dwError=0x%X\n",
      L"SendHciCmd: Error:in default. Error -0x%X\n",
      nullptr,
  };
  // A type 2 driver takes a 4-byte output holding 1 with every command.
  DWORD type2Output = TYPE2_CMD_OUTPUT;
  bool type2 = ctx->drvType.load() == DRV_TYPE_BTFTMDRIVER;
  RunWrite(ctx, IOCTL_BTFTM_SEND_HCI_CMD, command, length, type2 ? &type2Output : nullptr, type2 ? sizeof type2Output : 0,
           &ctx->overlapCmdWriteasync, texts);
}

void SendAclData(FtmAppContext* ctx, const BYTE* packet, int length) {
  static const RequestTexts texts = {
      L"SendAclData: ACL write happened synchronously\n",
      L"SendAclData: Error:Invalid Parameter\n",
      L"SendAclData: Error:Invalid Parameter\n",
      L"SendAclData: GetOverlappedResult I/O Incomplete\n",
      L"SendAclData: Error1: in deafult dwError=0x%X\n",
      L"SendAclData: Error:in default. Error -0x%X\n",
      nullptr,
  };
  RunWrite(ctx, IOCTL_BTFTM_SEND_ACL, packet, length, nullptr, 0, &ctx->overlapAclWriteasync, texts);
}

void SendScoData(FtmAppContext* ctx, const BYTE* packet, int length) {
  static const RequestTexts texts = {
      L"SendScoData: SCO write happened synchronously, dwError=%d\n",
      L"SendScoData: Error:Invalid Parameter\n",
      L"SendScoData: Error:Invalid Parameter\n",
      L"SendScoData: GetOverlappedResult I/O Incomplete\n",
      L"SendScoData: Error1: in deafult dwError=0x%X\n",
      L"SendScoData: Error:in default. Error -0x%X\n",
      nullptr,
  };
  RunWrite(ctx, IOCTL_BTFTM_SEND_SCO, packet, length, nullptr, 0, &ctx->overlapScoWriteasync, texts);
}

namespace {

FtmAppContext* Record(void* context) { return static_cast<FtmAppContext*>(context); }
void WriteCommand(void* context, const BYTE* command, int length) { SendHciCmd(Record(context), command, length); }
void WriteAcl(void* context, const BYTE* packet, int length) { SendAclData(Record(context), packet, length); }
void WriteSco(void* context, const BYTE* packet, int length) { SendScoData(Record(context), packet, length); }
void WriteSelection(void* context, BYTE interfaceId) { SelectScoInf(Record(context), interfaceId); }

}  // namespace

DriverWriter DriverWriterFor(FtmAppContext* ctx) {
  return {ctx, WriteCommand, WriteAcl, WriteSco, WriteSelection};
}
