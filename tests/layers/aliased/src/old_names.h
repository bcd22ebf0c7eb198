// A file that uses the retired names; check_names.cmake must refuse it.
#pragma once
constexpr DWORD IOCTL_BTFTM_READ_EVENT = wire::kReadEvent;
enum { H4_TYPE_EVENT = H4_EVENT };
