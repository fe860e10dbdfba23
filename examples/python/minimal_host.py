#!/usr/bin/env python3
"""A minimal Python host for wsbridge, through the wsbridge package (python/ in the source tree
or in a release archive; install it with `python3 -m pip install ./python`): connect, send one
message, wait for the reply, print it, close, and tell how the connection ended.

    python3 minimal_host.py HOST PORT PATH MESSAGE [--library PATH]

Without --library the package finds the library itself (wsbridge.find_library).
"""

import argparse
import sys

from wsbridge import Connection, WsBridgeError

WAIT_SECONDS = 10  # for the handshake, and for the reply


def main() -> int:
    parser = argparse.ArgumentParser(description="Sends MESSAGE and prints the reply.")
    parser.add_argument("host")
    parser.add_argument("port", type=int)
    parser.add_argument("path")
    parser.add_argument("message")
    parser.add_argument("--library", help="the library file (default: the package finds it)")
    arguments = parser.parse_args()
    try:
        ws = Connection(arguments.host, arguments.port, arguments.path, library=arguments.library,
                        timeout=WAIT_SECONDS)
    except (WsBridgeError, TimeoutError, OSError) as error:
        print(f"could not connect: {error}", file=sys.stderr)
        return 1
    ok = True
    with ws:  # closes with status 1000 at the end of the block
        try:
            ws.send(arguments.message)
            print(f"sent: {arguments.message}")
            reply = ws.receive(timeout=WAIT_SECONDS)  # bytes: the server's UTF-8, whole
            print(f"received {len(reply)} bytes: {reply.decode('utf-8', 'replace')}")
        except (WsBridgeError, TimeoutError, ValueError) as error:
            print(f"connection failed: {error}", file=sys.stderr)
            ok = False
    code, reason = ws.close_status  # the server's answer to our close, or how it ended before
    print(f"closed with {code}{': ' + reason if reason else ''}", file=sys.stderr)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
