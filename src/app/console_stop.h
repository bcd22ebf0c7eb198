// Ctrl+C and Ctrl+Break: the console control handler runs the stop sequence on the
// record of the run. The system hands the handler no parameter, so the record it works
// on is the one pointer the bridge keeps outside every record.
#pragma once

#include "core/context.h"

// Makes ctx the record the handler stops (nullptr: none; the handler then only prints).
void SetConsoleStopContext(FtmAppContext* ctx);

BOOL WINAPI ConsoleCtrlHandler(DWORD ctrlType);
