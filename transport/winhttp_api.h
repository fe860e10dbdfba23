// The transport operations the bridge and worker call, by their platform names. On Windows they
// are the platform's own WinHTTP and Win32 functions; elsewhere they are declared here and one of
// our implementations links in (the socket transport, or a scripted fake in unit tests).
#pragma once

#if defined(_WIN32)
#include <windows.h>
#include <winhttp.h>
#define WSBRIDGE_WIDE(text) L##text
#else
#define WSBRIDGE_WIDE(text) u##text
#include "transport/linux/winhttp_decls.h"
#endif
