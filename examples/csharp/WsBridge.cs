// The P/Invoke declarations of wsbridge's eleven functions (include/wsbridge.h), for .NET on
// Windows and for Mono or .NET on Linux.
//
// - The library name is "wsbridge" without an extension: Windows loads wsbridge.dll, Mono and
//   .NET on Linux look for libwsbridge.so. MinimalHost.exe.config maps it to the soname,
//   libwsbridge.so.0, for Mono, so that an installed library without its development link is
//   found too.
// - Strings go in as CharSet.Unicode: NUL-terminated UTF-16, on Linux too. ExactSpelling keeps
//   the runtime from looking for a "W" variant of a name.
// - Output arrives in byte[] buffers that the host allocates: received messages as the server's
//   UTF-8, status texts in ASCII; each result is the number of bytes written (a 0 byte follows
//   them, but a message may contain 0 bytes, so the result gives the length).
// - CallingConvention.Winapi is the header's __stdcall on Windows, which x64 treats as its one
//   convention, and the platform's C convention elsewhere.
using System.Runtime.InteropServices;

public static class WsBridge
{
    const string Library = "wsbridge";

    // WsGetStatus
    public const int StatusDisconnected = 0;
    public const int StatusConnecting = 1;
    public const int StatusConnected = 2;
    public const int StatusError = 3;

    public const int StatusTextCapacity = 512;  // a status text is at most 511 bytes
    public const int CloseReasonCapacity = 124;  // a close reason is at most 123 bytes

    [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode,
               ExactSpelling = true)]
    public static extern int WsConnect(string host, int port, string path, int secure);

    [DllImport(Library, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
    public static extern int WsDisconnect();

    [DllImport(Library, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
    public static extern int WsGetStatus();

    [DllImport(Library, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
    public static extern int WsGetLastError([Out] byte[] buffer, int capacity);

    [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode,
               ExactSpelling = true)]
    public static extern int WsSendMessage(string text);

    [DllImport(Library, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
    public static extern int WsHasMessages();

    [DllImport(Library, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
    public static extern int WsReadMessage([Out] byte[] buffer, int capacity);

    // 1 once a message is queued; 0 on time-out or once the connection has ended.
    // timeoutMs: negative waits without a limit, 0 never blocks.
    [DllImport(Library, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
    public static extern int WsWaitForMessage(int timeoutMs);

    // The length of the next message, -1 when none is queued.
    [DllImport(Library, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
    public static extern int WsGetMessageLength();

    // 0 until the connection has ended, then its close code (1006: no close frame came).
    [DllImport(Library, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
    public static extern int WsGetCloseStatus([Out] byte[] reason, int capacity);

    // headers: "Name: value" lines separated by CR LF; 0 when they are refused.
    [DllImport(Library, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Unicode,
               ExactSpelling = true)]
    public static extern int WsConnectWithHeaders(string host, int port, string path, int secure,
                                                  string headers);
}
