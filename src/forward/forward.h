// Controller-to-host forwarding: the event, ACL and SCO reader threads. Each is started
// with the address of the context record.
#pragma once

#include "platform/platform.h"

DWORD WINAPI EventThread(LPVOID context);
DWORD WINAPI AclThread(LPVOID context);
DWORD WINAPI ScoThread(LPVOID context);
