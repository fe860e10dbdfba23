#!/usr/bin/python3
"""Prints each protocol benchmark next to the memcpy of the same bytes from the same run, as a
fraction of memcpy bandwidth, and checks the targets. Reads Google Benchmark's JSON output.

usage: compare_to_memcpy.py RESULTS.json
Exits 1 if a target is missed (the figures are printed either way)."""
import json
import sys

# (benchmark, memcpy baseline, minimum fraction of memcpy bandwidth, minimum items/s or None)
TARGETS = [
    ("BM_Decode_LargeTextFrame", "BM_Memcpy_LargeTextFrame", 0.50, None),
    ("BM_Decode_SmallTextFrames", "BM_Memcpy_SmallTextFrames", None, 20e6),
    ("BM_Mask_InPlace", "BM_Memcpy_Mask", 0.50, None),
    ("BM_Mask_Copying", "BM_Memcpy_Mask", 0.50, None),
]


def median_rates(path):
    with open(path) as results:
        runs = json.load(results)["benchmarks"]
    rates = {}
    for run in runs:
        if run.get("aggregate_name", "median") != "median":
            continue
        name = run["run_name"]
        rates[name] = (run.get("bytes_per_second", 0.0), run.get("items_per_second"))
    return rates


def main():
    rates = median_rates(sys.argv[1])
    missed = False
    for name, baseline, min_fraction, min_items in TARGETS:
        bytes_rate, items_rate = rates[name]
        copy_rate = rates[baseline][0]
        fraction = bytes_rate / copy_rate
        line = f"{name:28} {bytes_rate / 1e9:7.2f} GB/s = {fraction:5.0%} of memcpy ({copy_rate / 1e9:.2f} GB/s)"
        ok = min_fraction is None or fraction >= min_fraction
        if min_items is not None:
            line += f", {items_rate / 1e6:.1f} M frames/s"
            ok = ok and items_rate >= min_items
        print(f"{line}  [{'ok' if ok else 'MISSED'}]")
        missed = missed or not ok
    sys.exit(1 if missed else 0)


main()
