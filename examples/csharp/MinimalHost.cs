// A minimal C# host for wsbridge: connect (with extra header lines, if any are given), wait for
// the connection, send one message, wait for the reply (asleep in WsWaitForMessage, not
// polling), read every queued message into a buffer of its own length, print it, disconnect and
// tell how the connection ended. It checks every result the way a real host has to.
//
//     MinimalHost HOST PORT PATH MESSAGE ["Name: value" ...]
//
// Exit codes: 0 the reply came; 1 the connection failed or ended first; 2 bad arguments, or
// header lines the library refused.
using System;
using System.Text;
using System.Threading;

public static class MinimalHost
{
    const int PollMilliseconds = 10;
    const int HandshakeMilliseconds = 10000;  // every wait has an end
    const int ReplyWaitMilliseconds = 10000;

    static readonly Encoding Utf8 = new UTF8Encoding(false);

    public static int Main(string[] args)
    {
        Console.OutputEncoding = Utf8;
        int port;
        if (args.Length < 4 || !int.TryParse(args[1], out port) || port < 1 || port > 65535 ||
            args[3].Length == 0 || args[3].IndexOf('\0') >= 0)
        {
            Console.Error.WriteLine(
                "usage: MinimalHost HOST PORT PATH MESSAGE [\"Name: value\" ...]");
            return 2;
        }
        string host = args[0], path = args[2], message = args[3];

        // Both return at once; the outcome of the handshake shows through the status.
        if (args.Length > 4)
        {
            string headers = string.Join("\r\n", args, 4, args.Length - 4);
            if (WsBridge.WsConnectWithHeaders(host, port, path, 0, headers) == 0)
            {
                if (WsBridge.WsGetStatus() != WsBridge.StatusError)
                {
                    Console.Error.WriteLine("the library refused the header lines");
                    return 2;
                }
                PrintStatusText("could not start connecting");
                return 1;
            }
        }
        else if (WsBridge.WsConnect(host, port, path, 0) == 0)
        {
            PrintStatusText("could not start connecting");
            return 1;
        }

        bool connected = WaitUntilConnected();
        bool ok = connected;
        if (ok && WsBridge.WsSendMessage(message) == 0)
        {
            PrintStatusText("send failed");
            ok = false;
        }
        if (ok)
        {
            Console.WriteLine("sent: " + message);
            ok = ReadReplies();
        }
        // Always disconnect: it closes the WebSocket with status 1000 and ends the worker.
        WsBridge.WsDisconnect();
        if (connected) PrintCloseStatus();
        return ok ? 0 : 1;
    }

    // Polls until the handshake has ended; true when connected.
    static bool WaitUntilConnected()
    {
        for (int waited = 0; waited < HandshakeMilliseconds; waited += PollMilliseconds)
        {
            switch (WsBridge.WsGetStatus())
            {
                case WsBridge.StatusConnected:
                    return true;
                case WsBridge.StatusError:
                    PrintStatusText("handshake failed");
                    return false;
                default:  // 0 until the worker has started, then 1 while it connects
                    Thread.Sleep(PollMilliseconds);
                    break;
            }
        }
        Console.Error.WriteLine("no connection after " + HandshakeMilliseconds + " ms");
        return false;
    }

    // Waits for the reply, then reads every message queued; true when one was read.
    static bool ReadReplies()
    {
        // 1 as soon as a message is queued; 0 after the time limit, or at once when the
        // connection has ended (messages that came before the end still answer 1 first).
        if (WsBridge.WsWaitForMessage(ReplyWaitMilliseconds) == 0)
        {
            if (WsBridge.WsGetStatus() == WsBridge.StatusConnected)
                Console.Error.WriteLine("no reply after " + ReplyWaitMilliseconds + " ms");
            else
                PrintStatusText("connection ended");
            return false;
        }
        while (WsBridge.WsHasMessages() == 1)
        {
            // The length tells how large a buffer the whole message needs: nothing is cut.
            int length = WsBridge.WsGetMessageLength();
            if (length < 0 || length == int.MaxValue)
            {
                Console.Error.WriteLine("no message, or one too large for a byte[]");
                return false;
            }
            var buffer = new byte[length + 1];
            int read = WsBridge.WsReadMessage(buffer, buffer.Length);
            // The result, not the 0 byte after it, tells where the message ends.
            Console.WriteLine("received " + read + " bytes: " + Utf8.GetString(buffer, 0, read));
        }
        return true;
    }

    static void PrintStatusText(string what)
    {
        var text = new byte[WsBridge.StatusTextCapacity];
        int length = WsBridge.WsGetLastError(text, text.Length);
        // ASCII, but for a host name quoted in it, which is in the system's ANSI code page.
        Console.Error.WriteLine(what + " (status " + WsBridge.WsGetStatus() + "): " +
                                Encoding.Default.GetString(text, 0, length));
    }

    // How the connection ended: the server's close code and reason, or 1006 without a close.
    static void PrintCloseStatus()
    {
        var reason = new byte[WsBridge.CloseReasonCapacity];
        int code = WsBridge.WsGetCloseStatus(reason, reason.Length);
        int length = Array.IndexOf(reason, (byte)0);
        string text = Utf8.GetString(reason, 0, length < 0 ? 0 : length);
        Console.Error.WriteLine("closed with " + code + (text.Length > 0 ? ": " + text : ""));
    }
}
