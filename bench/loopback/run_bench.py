#!/usr/bin/python3
"""Runs the loopback benchmark and prints one table.

Every case runs against our own server on 127.0.0.1, for our library (through the host
benchmark, as a spinning host and as a waiting host) and for the peers (Boost.Beast, node ws,
the raw byte counter) in the same round, the
order of the clients turning from round to round. Figures are medians over the rounds with their
min-max; ratios are taken within each round before the median, so a slow moment of the machine
hits both sides of a ratio alike. A client that receives anything wrong fails the whole run.

    run_bench.py --build DIR --node-modules DIR [--rounds N] [--quick] [--only PARTS] [--json FILE]
"""
import argparse
import contextlib
import dataclasses
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

KIB = 1024
MIB = 1024 * KIB
CLIENT_TIME_LIMIT_S = 180
SERVER_START_LIMIT_S = 10
ECHO_MESSAGE_BYTES = 32
ECHO_WARMUP = 200
RSS_MESSAGE_BYTES = 64 * MIB
RSS_START_DELAY_MS = 300
# --quick divides every count by this: a check, in seconds, that every tool runs and is correct.
QUICK_DIVISOR = 100

# Targets, as ratios to the peers measured in the same round or as plain bounds. A throughput
# ratio is that of the better of our two hosts (spinning or waiting) in the round.
TARGET_THROUGHPUT_RATIO_TO_NODE = 1.0
TARGET_THROUGHPUT_RATIO_TO_BEAST = {"64 B": 0.5, "1 KiB": 1.0, "64 KiB": 0.8, "1 MiB": 0.8,
                                    "1 MiB in 64 KiB frames": 0.8, "TLS 1 MiB": 0.8}
TARGET_RTT_RATIO_TO_BEAST = {"unpinned": 1.15, "pinned to one CPU": 1.2}
TARGET_IDLE_CPU_PERCENT = 0.1
TARGET_DISCONNECT_ANSWERING_MS = 10.0
TARGET_DISCONNECT_SILENT_MS = 1100.0
TARGET_RSS_TIMES_MESSAGE = 3.0


class BenchFailure(Exception):
    pass


@dataclasses.dataclass
class StreamCase:
    name: str
    size: int
    count: int
    fragment: int = 0
    tls: bool = False


STREAM_CASES = [
    StreamCase("64 B", 64, 500_000),
    StreamCase("1 KiB", KIB, 200_000),
    StreamCase("64 KiB", 64 * KIB, 4_000),
    StreamCase("1 MiB", MIB, 300),
    StreamCase("1 MiB in 64 KiB frames", MIB, 300, fragment=64 * KIB),
    StreamCase("TLS 1 KiB", KIB, 100_000, tls=True),
    StreamCase("TLS 1 MiB", MIB, 200, tls=True),
]
# "host" polls and yields between messages, as a host with the seven functions does; "waiting"
# sleeps in WsWaitForMessage.
STREAM_CLIENTS = ["host", "waiting", "beast", "node", "raw"]
PEERS = ["beast", "node", "raw"]
PEER_NAMES = {"beast": "Beast", "node": "node ws", "raw": "raw"}
ECHO_CLIENTS = ["host", "waiting", "beast", "node"]


class Bench:
    def __init__(self, build, node_modules, quick):
        self.build = build
        self.quick = quick
        self.here = os.path.dirname(os.path.abspath(__file__))
        self.tls_dir = os.path.join(build, "bench-tls")
        self.certificate = os.path.join(self.tls_dir, "cert.pem")
        self.key = os.path.join(self.tls_dir, "key.pem")
        self.node = shutil.which("node")
        self.env = dict(os.environ)
        self.env["NODE_PATH"] = node_modules
        # Our library trusts the system store through OpenSSL's default paths; point it at ours.
        self.env["SSL_CERT_FILE"] = self.certificate
        self.pin_cpu = str(min(os.sched_getaffinity(0)))

    def tool(self, name):
        return os.path.join(self.build, name)

    def make_certificate(self):
        os.makedirs(self.tls_dir, exist_ok=True)
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-keyout", self.key, "-out", self.certificate, "-days", "2",
             "-subj", "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
            check=True, capture_output=True)

    @contextlib.contextmanager
    def server(self, mode, *options, tls=False, pinned=False):
        command = self.pinned(pinned) + [self.tool("loopback_server"), mode, *map(str, options),
                                         "--lifetime-seconds", "900"]
        if tls:
            command += ["--tls-cert", self.certificate, "--tls-key", self.key]
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   text=True)
        try:
            line = process.stdout.readline().split()
            if len(line) != 2 or line[0] != "port":
                raise BenchFailure(f"server did not start: {process.stderr.read()}")
            yield int(line[1])
        finally:
            process.terminate()
            process.wait(timeout=SERVER_START_LIMIT_S)

    def pinned(self, pinned):
        return ["taskset", "-c", self.pin_cpu] if pinned else []

    def client_command(self, client, mode, port, case_options, tls):
        ca = ["--tls-ca", self.certificate] if tls else []
        if client in ("host", "waiting"):
            return [self.tool("host_bench"), mode, "--port", str(port), *case_options,
                    "--tls", "1" if tls else "0", "--wait", "1" if client == "waiting" else "0"]
        if client == "beast":
            return [self.tool("beast_client"), mode, "--port", str(port), *case_options, *ca]
        if client == "node":
            return [self.node, os.path.join(self.here, "ws_client.js"), mode, "--port", str(port),
                    *case_options, *ca]
        return [self.tool("raw_reader"), mode, "--port", str(port), *case_options, *ca]

    def run_client(self, command, pinned=False):
        result = subprocess.run(self.pinned(pinned) + command, capture_output=True, text=True,
                                env=self.env, timeout=CLIENT_TIME_LIMIT_S)
        if result.returncode != 0:
            raise BenchFailure(f"{' '.join(command)}\n  exit {result.returncode}: "
                               f"{result.stderr.strip()}")
        return json.loads(result.stdout.strip().splitlines()[-1])

    def count(self, full):
        return max(1, full // QUICK_DIVISOR) if self.quick else full

    def stream_case(self, case, rounds):
        count = self.count(case.count)
        options = ["--count", str(count), "--size", str(case.size)]
        server_options = list(options) + (["--fragment", str(case.fragment)] if case.fragment else [])
        results = {client: [] for client in STREAM_CLIENTS}
        with self.server("stream", *server_options, tls=case.tls) as port:
            for round_index in range(rounds):
                for client in rotated(STREAM_CLIENTS, round_index):
                    client_options = server_options if client == "raw" else options
                    command = self.client_command(client, "stream", port, client_options, case.tls)
                    results[client].append(self.run_client(command))
        return results

    def echo_case(self, pinned, tls, rounds):
        options = ["--count", str(self.count(2000)), "--size", str(ECHO_MESSAGE_BYTES),
                   "--warmup", str(ECHO_WARMUP)]
        results = {client: [] for client in ECHO_CLIENTS}
        with self.server("echo", tls=tls, pinned=pinned) as port:
            for round_index in range(rounds):
                for client in rotated(ECHO_CLIENTS, round_index):
                    command = self.client_command(client, "echo", port, options, tls)
                    samples = sorted(self.run_client(command, pinned)["rtt_us"])
                    results[client].append({"p50": percentile(samples, 50),
                                            "p99": percentile(samples, 99)})
        return results

    def idle_case(self, rounds):
        seconds = 1 if self.quick else 10
        percents = []
        switches = []
        with self.server("echo") as port:
            for _ in range(rounds):
                r = self.run_client([self.tool("host_bench"), "idle", "--port", str(port),
                                     "--seconds", str(seconds)])
                percents.append(100.0 * r["cpu_seconds"] / r["wall_seconds"])
                switches.append(r["context_switches"])
        return seconds, percents, switches

    def disconnect_case(self, mode, rounds, per_round):
        times = []
        with self.server(mode) as port:
            for _ in range(rounds):
                r = self.run_client([self.tool("host_bench"), "disconnect", "--port", str(port),
                                     "--count", str(per_round)])
                times.extend(r["disconnect_ms"])
        return times

    def rss_case(self, rounds):
        size = RSS_MESSAGE_BYTES // 16 if self.quick else RSS_MESSAGE_BYTES
        ratios = []
        with self.server("stream", "--count", "1", "--size", str(size), "--start-delay-ms",
                         str(RSS_START_DELAY_MS)) as port:
            for _ in range(rounds):
                r = self.run_client([self.tool("host_bench"), "rss", "--port", str(port),
                                     "--size", str(size)])
                ratios.append((r["peak_rss_kib"] - r["idle_rss_kib"]) * KIB / size)
        return size, ratios


def rotated(items, by):
    by %= len(items)
    return items[by:] + items[:by]


def percentile(sorted_samples, p):
    """Nearest rank: the smallest sample with at least p percent of the samples at or below it."""
    rank = max(1, -(-len(sorted_samples) * p // 100))
    return sorted_samples[int(rank) - 1]


def spread(values, fmt):
    return f"{fmt(statistics.median(values))} ({fmt(min(values))}-{fmt(max(values))})"


def megabytes_per_second(result):
    return result["bytes"] / result["seconds"] / 1e6


def messages_per_second(result):
    return result["messages"] / result["seconds"]


def round_ratios(results, client, peer, measure):
    return [measure(ours) / measure(theirs) for ours, theirs in zip(results[client], results[peer])]


def number(value):
    if value >= 100:
        return f"{value:,.0f}"
    return f"{value:.2f}" if value < 10 else f"{value:.1f}"


def ratio(value):
    return f"{value:.2f}"


def print_table(headers, rows):
    widths = [max(len(str(row[i])) for row in [headers] + rows) for i in range(len(headers))]
    line = "  ".join(f"{{:<{w}}}" if i == 0 else f"{{:>{w}}}" for i, w in enumerate(widths))
    print(line.format(*headers))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print(line.format(*row))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="folder with the built tools")
    parser.add_argument("--node-modules", required=True, help="folder holding node's ws package")
    parser.add_argument("--rounds", type=int, help="default 5, or 1 with --quick")
    parser.add_argument("--quick", action="store_true", help="small counts: a check that all runs")
    parser.add_argument("--json", help="also write every raw figure to this file")
    parser.add_argument("--only", help="comma-separated parts to run: throughput case names "
                        "(e.g. '1 KiB,TLS 1 MiB'), echo, idle, disconnect, rss")
    args = parser.parse_args()
    only = set(args.only.split(",")) if args.only else None

    def wanted(part):
        return only is None or part in only

    bench = Bench(os.path.abspath(args.build), os.path.abspath(args.node_modules), args.quick)
    bench.make_certificate()
    rounds = args.rounds or (1 if args.quick else 5)
    started = time.monotonic()
    load_before = os.getloadavg()
    raw = {"rounds": rounds, "stream": {}, "echo": {}}
    verdicts = []

    stream_rows = []
    for case in filter(lambda c: wanted(c.name), STREAM_CASES):
        results = bench.stream_case(case, rounds)
        raw["stream"][case.name] = results
        host = results["host"]
        row = [case.name, spread([messages_per_second(r) for r in host], number),
               spread([megabytes_per_second(r) for r in host], number),
               spread([megabytes_per_second(r) for r in results["waiting"]], number)]
        row += [number(statistics.median(megabytes_per_second(r) for r in results[p]))
                for p in PEERS]
        ratios = {p: round_ratios(results, "host", p, megabytes_per_second) for p in PEERS}
        row += [spread(ratios[p], ratio) for p in PEERS]
        row += [spread(round_ratios(results, "waiting", "beast", megabytes_per_second), ratio),
                spread(round_ratios(results, "waiting", "host", megabytes_per_second), ratio)]
        stream_rows.append(row)
        # The better of the two hosts in each round, against each peer in the same round.
        better = [max(ours, waiting, key=megabytes_per_second)
                  for ours, waiting in zip(results["host"], results["waiting"])]
        for peer, target in (("node", TARGET_THROUGHPUT_RATIO_TO_NODE),
                             ("beast", TARGET_THROUGHPUT_RATIO_TO_BEAST.get(case.name))):
            if target is None:
                continue
            best = statistics.median(round_ratios({"ours": better, peer: results[peer]}, "ours",
                                                  peer, megabytes_per_second))
            verdicts.append((f"throughput {case.name} >= {target:g} x {PEER_NAMES[peer]}",
                             best >= target, f"x{best:.2f}"))

    if stream_rows:
        print(f"\nThroughput: median of {rounds} rounds (min-max); ratios are ours / peer, "
              "per round; 'ours' polls, 'waiting' sleeps in WsWaitForMessage")
        print_table(["case", "ours msg/s", "ours MB/s", "waiting MB/s", "Beast MB/s",
                     "node MB/s", "raw MB/s", "vs Beast", "vs node", "vs raw",
                     "waiting vs Beast", "waiting / ours"], stream_rows)

    other_rows = []
    echo_cases = ((False, False), (True, False), (False, True)) if wanted("echo") else ()
    for pinned, tls in echo_cases:
        label = ("TLS, " if tls else "") + ("pinned to one CPU" if pinned else "unpinned")
        results = bench.echo_case(pinned, tls, rounds)
        raw["echo"][label] = results
        p50_ratio = round_ratios(results, "host", "beast", lambda r: r["p50"])
        node_ratio = round_ratios(results, "host", "node", lambda r: r["p50"])
        for client in ECHO_CLIENTS:
            other_rows.append([f"echo 32 B p50, {label}, {client}",
                               spread([r["p50"] for r in results[client]], number) + " us",
                               "p99 " + spread([r["p99"] for r in results[client]], number) + " us"])
        other_rows.append([f"echo p50 ours / Beast, {label}", spread(p50_ratio, ratio),
                           "ours / node " + spread(node_ratio, ratio)])
        waiting_ratio = round_ratios(results, "waiting", "host", lambda r: r["p50"])
        other_rows.append([f"echo p50 waiting / ours, {label}", spread(waiting_ratio, ratio),
                           "waiting / Beast " + spread(round_ratios(
                               results, "waiting", "beast", lambda r: r["p50"]), ratio)])
        target = TARGET_RTT_RATIO_TO_BEAST.get(label)
        if target is not None:
            verdicts.append((f"round trip p50 {label} <= {target} x Beast",
                             statistics.median(p50_ratio) <= target,
                             f"x{statistics.median(p50_ratio):.2f}"))

    if wanted("idle"):
        seconds, idle, switches = bench.idle_case(rounds)
        raw["idle_cpu_percent"] = idle
        raw["idle_context_switches"] = switches
        other_rows.append([f"idle CPU, connected, % of a core over {seconds} s",
                           spread(idle, lambda v: f"{v:.3f}"),
                           "context switches " + spread(switches, lambda v: f"{v:.0f}")])
        verdicts.append((f"idle CPU < {TARGET_IDLE_CPU_PERCENT}%",
                         statistics.median(idle) < TARGET_IDLE_CPU_PERCENT,
                         f"{statistics.median(idle):.3f}%"))

    disconnect_modes = (("echo", 10, TARGET_DISCONNECT_ANSWERING_MS),
                        ("silent", 2, TARGET_DISCONNECT_SILENT_MS))
    for mode, per_round, target in disconnect_modes if wanted("disconnect") else ():
        label = "answering" if mode == "echo" else "silent"
        times = bench.disconnect_case(mode, rounds, per_round)
        raw[f"disconnect_ms_{label}"] = times
        other_rows.append([f"WsDisconnect, {label} server, ms ({len(times)} calls)",
                           spread(times, number), ""])
        verdicts.append((f"WsDisconnect {label} < {target:g} ms",
                         statistics.median(times) < target, f"{statistics.median(times):.1f} ms"))

    if wanted("rss"):
        size, rss = bench.rss_case(rounds)
        raw["rss_peak_over_idle_times_message"] = rss
        other_rows.append([f"peak RSS above idle, one {size // MIB} MiB message, x its size",
                           spread(rss, ratio), ""])
        verdicts.append((f"peak RSS < {TARGET_RSS_TIMES_MESSAGE:g} x message",
                         statistics.median(rss) < TARGET_RSS_TIMES_MESSAGE,
                         f"x{statistics.median(rss):.2f}"))

    if other_rows:
        print(f"\nLatency, idle cost, disconnect and memory: median of {rounds} rounds (min-max)")
        print_table(["measurement", "ours", ""], other_rows)
    print("\nTargets" + (" (quick counts: not meaningful)" if args.quick else ""))
    for name, met, figure in verdicts:
        print(f"  {'met   ' if met else 'MISSED'}  {name}: {figure}")
    # Other work on the machine shows in every figure; the load tells how much there was.
    print(f"\n{rounds} rounds in {time.monotonic() - started:.0f} s; load average at the start "
          f"{load_before[0]:.2f}, at the end {os.getloadavg()[0]:.2f} (1 min)")
    if args.json:
        with open(args.json, "w") as out:
            json.dump(raw, out, indent=1)


if __name__ == "__main__":
    try:
        main()
    except BenchFailure as failure:
        print(f"bench failed: {failure}", file=sys.stderr)
        sys.exit(1)
