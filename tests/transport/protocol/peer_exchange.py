#!/usr/bin/python3
"""The server side of an exchange with an independent WebSocket implementation (Debian's
python3-websockets, through its sans-I/O server connection; no socket is opened).

usage: peer_exchange.py REQUEST FRAMES OUTPUT

Reads the client's upgrade request from REQUEST and accepts it, sends a fixed set of server
frames, then takes the client's frames from FRAMES. Writes every byte the server sent to OUTPUT
and prints one line per frame it received: "<opcode> <fin> <length> <SHA-1 of the payload>", or
"failed <reason>".
"""
import hashlib
import sys

from websockets.server import ServerConnection


def main():
    request_path, frames_path, output_path = sys.argv[1:4]
    server = ServerConnection()
    with open(request_path, "rb") as request_file:
        server.receive_data(request_file.read())
    [request] = server.events_received()
    response = server.accept(request)
    server.send_response(response)
    if response.status_code != 101:
        print(f"failed handshake {response.status_code} {response.body!r}")

    # What the server says first: a fragmented text message with a ping inside it, then a
    # binary message with a 16-bit length.
    server.send_text("Hello, ".encode(), fin=False)
    server.send_ping(b"are you there")
    server.send_continuation("w\u00f6rld \u20ac".encode(), fin=True)
    server.send_binary(bytes(range(256)) * 2)

    with open(frames_path, "rb") as frames_file:
        server.receive_data(frames_file.read())
    for frame in server.events_received():
        digest = hashlib.sha1(frame.data).hexdigest()
        print(f"{int(frame.opcode)} {int(frame.fin)} {len(frame.data)} {digest}")
    failure = getattr(server, "parser_exc", None)
    if failure is not None:
        print(f"failed {failure!r}")

    with open(output_path, "wb") as output:
        output.write(b"".join(server.data_to_send()))


main()
