"""The installed package against the loopback test peer: messages both ways, the ends of a
connection, headers, errors, and waiting without polling."""

import time

import pytest
import wsbridge
from local_peer import pattern

LARGE_MESSAGE_BYTES = 20 * 1024 * 1024


@pytest.fixture
def connect(library):
    """connect(peer, **options): a Connection to the peer, closed at the end of the test."""
    opened = []

    def open_connection(local_peer, **options):
        opened.append(wsbridge.Connection("127.0.0.1", local_peer.port, "/py", library=library,
                                          **options))
        return opened[-1]

    yield open_connection
    for connection in opened:
        connection.close()


def test_str_goes_out_as_utf8_and_comes_back_as_bytes(peer, connect):
    with connect(peer()) as ws:
        for text in ["plain", "Grüße, 世界 😀", "x" * 100000]:
            ws.send(text)
            assert ws.receive() == text.encode("utf-8")
        assert ws.poll() is None
        assert ws.last_error == "Connected"


@pytest.mark.parametrize("size", [1 << 20, LARGE_MESSAGE_BYTES], ids=["1MiB", "20MiB"])
def test_a_fragmented_message_larger_than_any_preset_buffer_arrives_whole(peer, connect, size):
    with connect(peer(steps=[f"text={size}/65536", "hold"])) as ws:
        assert ws.receive(timeout=30) == pattern(size)


def test_the_server_close_raises_with_the_status_text_after_the_last_message(peer, connect):
    ws = connect(peer(steps=["say=last", "close=1000"]))
    assert ws.receive() == b"last"
    with pytest.raises(wsbridge.WsBridgeError) as raised:
        ws.receive()
    assert str(raised.value) == "Server closed WebSocket connection"
    assert raised.value.status == wsbridge.STATUS_DISCONNECTED


def test_the_close_code_and_reason_come_with_the_end(peer, connect):
    ws = connect(peer(steps=["close=4000:going away"]))
    with pytest.raises(wsbridge.WsBridgeError) as raised:
        ws.receive()
    assert (raised.value.close_code, raised.value.close_reason) == (4000, "going away")
    assert ws.close_status == (4000, "going away")


def test_a_refused_upgrade_raises_with_status_3(peer, connect):
    with pytest.raises(wsbridge.WsBridgeError) as raised:
        connect(peer(options=["--status", "403"]))
    assert raised.value.status == wsbridge.STATUS_ERROR
    assert raised.value.text.startswith("WinHttp") and raised.value.text.endswith(" failed")


def test_nobody_listening_raises_with_the_failing_step(library, closed_port):
    with pytest.raises(wsbridge.WsBridgeError) as raised:
        wsbridge.Connection("127.0.0.1", closed_port, library=library)
    assert raised.value.status == wsbridge.STATUS_ERROR
    assert "WinHttp" in raised.value.text


@pytest.mark.parametrize("text", ["", "a\0b"], ids=["empty", "nul"])
def test_texts_the_library_cannot_send_are_refused_before_the_call(peer, connect, text):
    with connect(peer()) as ws:
        with pytest.raises(ValueError):
            ws.send(text)


def test_headers_reach_the_server_and_refused_ones_raise(peer, connect):
    local_peer = peer(options=["--subprotocol", "chat"])
    with connect(local_peer, headers={"Authorization": "Bearer t0k",
                                      "Sec-WebSocket-Protocol": "chat"}):
        events = local_peer.wait_for_event("header sec-websocket-protocol chat")
    assert "header authorization Bearer t0k" in events
    with pytest.raises(ValueError):
        connect(local_peer, headers=[("Host", "elsewhere")])


def test_receive_sleeps_until_the_message_comes(peer, connect):
    with connect(peer(steps=["sleep=0.3", "say=late", "hold"])) as ws:
        started = time.process_time()
        assert ws.receive() == b"late"
        assert time.process_time() - started < 0.1, "no polling while waiting"


def test_receive_gives_up_after_its_timeout(peer, connect):
    with connect(peer(steps=["hold"])) as ws:
        started = time.monotonic()
        with pytest.raises(TimeoutError):
            ws.receive(timeout=0.2)
        assert time.monotonic() - started < 5


def test_a_new_connection_replaces_the_previous_one(peer, connect):
    local_peer = peer()
    first = connect(local_peer)
    second = connect(local_peer)
    with pytest.raises(wsbridge.WsBridgeError):
        first.send("gone")
    second.send("still here")
    assert second.receive() == b"still here"
    first.close()  # closing the replaced one leaves the new one alone
    assert second.status == wsbridge.STATUS_CONNECTED
