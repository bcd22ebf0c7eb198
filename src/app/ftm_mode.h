// The FTM mode thread: keeps the enable-FTM request pending for the whole run.
#pragma once

#include "platform/platform.h"

DWORD WINAPI EnterFtmModeThread(LPVOID context);
