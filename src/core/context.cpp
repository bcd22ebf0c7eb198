// The context record's set-up.
#include "core/context.h"

#include <cstring>

void SetRecordEvent(FtmAppContext*, OVERLAPPED* record, HANDLE event) { record->hEvent = event; }

static HANDLE CreateRecordEvent(const wchar_t* failureMessage) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) print_message(failureMessage);
  return event;
}

void InitiateStruct(FtmAppContext* ctx, PHANDLER_ROUTINE stopHandler) {
  print_message(L"FtmApp:InitiateStruct++\n");
  ctx->host.drops = &ctx->tap.drops;
  ctx->exitFlag = 0;
  ctx->ftmModeEntered = 0;
  ctx->drvType = DRV_TYPE_NONE;
  // Cleared whole, its event too, before its only request.
  std::memset(&ctx->overlapFtmModeasync, 0, sizeof ctx->overlapFtmModeasync);

  SetRecordEvent(ctx, &ctx->overlapFtmModeasync, CreateRecordEvent(L"FtmApp:Error in Creating Overlapped event\n"));
  SetRecordEvent(ctx, &ctx->overlapAclWriteasync,
                 CreateRecordEvent(L"FtmApp:Error in Creating overlapAclWriteasync event\n"));
  SetRecordEvent(ctx, &ctx->overlapScoWriteasync,
                 CreateRecordEvent(L"FtmApp:Error in Creating overlapScoWriteasync event\n"));
  SetRecordEvent(ctx, &ctx->overlapCmdWriteasync,
                 CreateRecordEvent(L"FtmApp:Error in Creating overlapCmdWriteasync event\n"));
  ctx->hFtmModeEvent = CreateRecordEvent(L"FtmApp:Error in Creating hFtmModeEvent event\n");
  ctx->ScoRxStartEvent = CreateRecordEvent(L"FtmApp:Error in Creating ScoRxStartEvent event\n");

  if (stopHandler != nullptr && !SetConsoleCtrlHandler(stopHandler, TRUE)) {
    print_message(L"FtmApp:Error in allocating console control handler\n");
  }
  print_message(L"FtmApp:InitiateStruct--\n");
}
