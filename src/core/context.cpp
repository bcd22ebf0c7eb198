// The context record's set-up.
#include "core/context.h"

#include <cstring>

void SetRecordEvent(OVERLAPPED* record, HANDLE event) { record->hEvent = event; }

static HANDLE CreateRecordEvent(const wchar_t* failureMessage) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) print_message(failureMessage);
  return event;
}

void InitiateStruct(FtmAppContext* ctx, PHANDLER_ROUTINE stopHandler) {
  print_message(L"FtmApp:InitiateStruct++\n");
  ctx->host.drops = &ctx->tap.drops;
  ctx->exitFlag = 0;
  ctx->ftmMode.ftmModeEntered = 0;
  ctx->driver.drvType = DRV_TYPE_NONE;
  // Cleared whole, its event too, before its only request.
  OVERLAPPED* ftmModeRequest = &ctx->ftmMode.reader.overlap;
  std::memset(ftmModeRequest, 0, sizeof *ftmModeRequest);

  // The console lines keep the names these records had when they were fields of their own.
  SetRecordEvent(ftmModeRequest, CreateRecordEvent(L"FtmApp:Error in Creating Overlapped event\n"));
  SetRecordEvent(&ctx->writes.acl, CreateRecordEvent(L"FtmApp:Error in Creating overlapAclWriteasync event\n"));
  SetRecordEvent(&ctx->writes.sco, CreateRecordEvent(L"FtmApp:Error in Creating overlapScoWriteasync event\n"));
  SetRecordEvent(&ctx->writes.command, CreateRecordEvent(L"FtmApp:Error in Creating overlapCmdWriteasync event\n"));
  ctx->ftmMode.hFtmModeEvent = CreateRecordEvent(L"FtmApp:Error in Creating hFtmModeEvent event\n");
  ctx->sco.ScoRxStartEvent = CreateRecordEvent(L"FtmApp:Error in Creating ScoRxStartEvent event\n");

  if (stopHandler != nullptr && !SetConsoleCtrlHandler(stopHandler, TRUE)) {
    print_message(L"FtmApp:Error in allocating console control handler\n");
  }
  print_message(L"FtmApp:InitiateStruct--\n");
}
