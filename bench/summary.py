#!/usr/bin/env python3
"""Reads the JSON files the benchmark programs wrote (scripts/bench.sh) and
prints every benchmark's median, then the ratios the targets are stated in.
Throughputs are Google Benchmark's rates, taken over CPU time (so that a
busy machine disturbs them less) except where a benchmark asks for real
time (the pool file system's, whose work is in the kernel)."""
import glob
import json
import os
import sys

results = sys.argv[1] if len(sys.argv) > 1 else "build/release/bench-results"
medians = {}
for path in sorted(glob.glob(os.path.join(results, "*_bench.json"))):
    with open(path) as f:
        data = json.load(f)
    # Repetitions run interleaved; list each program's runs by name.
    runs = sorted(data["benchmarks"], key=lambda b: b["run_name"])
    for b in runs:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        medians[b["run_name"]] = b

SCALE = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def seconds(b):
    return b["cpu_time"] * SCALE[b["time_unit"]]


def rate(name):
    """Bytes or items per CPU second, or None when the run is missing."""
    b = medians.get(name)
    if b is None:
        return None
    for key in ("bytes_per_second", "items_per_second"):
        if key in b:
            return b[key]
    return 1.0 / seconds(b)


def human(b):
    if "bytes_per_second" in b:
        return "%9.1f MB/s" % (b["bytes_per_second"] / 1e6)
    if "items_per_second" in b:
        v = b["items_per_second"]
        return "%9.3g items/s" % v
    return ""


print("%-44s %14s %14s  %s" % ("benchmark (median)", "real", "cpu", "throughput"))
for name, b in medians.items():
    unit = b["time_unit"]
    print("%-44s %11.3f %-2s %11.3f %-2s  %s" % (
        name, b["real_time"], unit, b["cpu_time"], unit, human(b)))


def ratio(label, a, b, target=None, at_least=True):
    ra, rb = rate(a), rate(b)
    if ra is None or rb is None:
        print("%-58s (not run)" % label)
        return
    r = ra / rb
    verdict = ""
    if target is not None:
        ok = r >= target if at_least else r <= target
        verdict = "  target %s %.2f: %s" % (">=" if at_least else "<=", target,
                                            "met" if ok else "NOT MET")
    print("%-58s %6.2f x%s" % (label, r, verdict))


print()
ratio("LZSS decode 0xC4 / zlib inflate", "BM_LzssDecode/196", "BM_ZlibInflate", 2.0)
ratio("LZSS decode 0xA1 / zlib inflate", "BM_LzssDecode/161", "BM_ZlibInflate")
ratio("LZSS decode 0xC5 / zlib inflate", "BM_LzssDecode/197", "BM_ZlibInflate")
ratio("LZSS decode 0xC4 / memcpy", "BM_LzssDecode/196", "BM_Memcpy")
ratio("CLzssFile sequential read / zlib inflate", "BM_LzssFileSequentialRead",
      "BM_ZlibInflate", 1.5)
ratio("CLzssFile random 4 KiB reads / zlib inflate", "BM_LzssFileRandom4KRead",
      "BM_ZlibInflate")
ratio("LZSS encode 0xC4 / zlib deflate 6", "BM_LzssEncode/196", "BM_ZlibDeflate6", 0.3)
ratio("LZSS encode 0xA1 / zlib deflate 6", "BM_LzssEncode/161", "BM_ZlibDeflate6")
ratio("LZSS encode 0xC5 / zlib deflate 6", "BM_LzssEncode/197", "BM_ZlibDeflate6")
ratio("pack Lookup / std::map find (hits)", "BM_PackIndexLookup", "BM_MapLookup", 1.0)
ratio("pack Lookup / std::map find (misses)", "BM_PackIndexLookupMiss",
      "BM_MapLookupMiss", 1.0)
ratio("pack Exists / std::map lower_bound", "BM_PackFsExists", "BM_MapExists", 1.0)
