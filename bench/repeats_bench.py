#!/usr/bin/env python3
"""Repeat filter benchmark: both engines on a gzip-compressed repeat VCF against
the shipped catalog, and the built-in engine's peak memory on a large and a
small VCF (it should hold only the catalog, whatever the VCF's size).

    repeats_bench.py [--dir DIR] [--records 1000000]

--records is passed to make_inputs.py, whose repeat VCF has half as many
records. Inputs are generated once into --dir and reused. Each run is a fresh
child process, so its peak resident memory is its own.
"""
import argparse
import os
import subprocess
import sys
import time

from bench_support import default_work
from bench_support import make_inputs as generate

SMALL_RECORDS = 20_000

CHILD = """
import sys
from Merivane import repeats
vcf, engine, out = sys.argv[1:4]
if engine != "none":
    repeats.filter_repeats_vcf(vcf, repeats.default_repeat_catalog_path(), engine, out)
"""


def make_inputs(directory, records):
    return generate(directory, records, compressed=True)["repeats"]


def run_child(vcf, engine, out):
    """(seconds, peak resident KiB) of one filter run in a fresh interpreter."""
    started = time.perf_counter()
    child = subprocess.Popen([sys.executable, "-c", CHILD, vcf, engine, out])
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - started
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        raise SystemExit(f"{engine} run failed with status {child.returncode}")
    return elapsed, usage.ru_maxrss


def split(path):
    header, records = [], []
    with open(path, encoding="utf-8", newline="") as handle:
        for line in handle:
            (header if line.startswith("#") else records).append(line)
    return header, records


def count_records(vcf):
    import gzip
    with gzip.open(vcf, "rt", encoding="utf-8") as handle:
        return sum(1 for line in handle if not line.startswith("#"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=default_work("merivane-repeats-bench"))
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3, help="timed runs per engine (best is reported)")
    args = parser.parse_args()

    from Merivane import repeats
    if not repeats.bedtools_available():
        raise SystemExit("bedtools is not on PATH: nothing to compare the built-in engine with")

    large = make_inputs(os.path.join(args.dir, "large"), args.records)
    small = make_inputs(os.path.join(args.dir, "small"), SMALL_RECORDS)
    out_dir = os.path.join(args.dir, "out")
    os.makedirs(out_dir, exist_ok=True)

    n_large = count_records(large)
    print(f"repeat VCF: {large} ({n_large} records, {os.path.getsize(large) / 1e6:.1f} MB gzip)")
    print(f"catalog: {repeats.default_repeat_catalog_path()}")

    results = {}
    for engine in (repeats.BEDTOOLS, repeats.BUILTIN):
        out = os.path.join(out_dir, f"{engine}.vcf")
        runs = [run_child(large, engine, out) for _ in range(args.repeat)]
        results[engine] = (min(t for t, _ in runs), max(m for _, m in runs), out)
        print(f"{engine:>9}: best {results[engine][0]:.3f} s of {args.repeat} "
              f"({', '.join(f'{t:.3f}' for t, _ in runs)})")

    bed_header, bed_records = split(results[repeats.BEDTOOLS][2])
    own_header, own_records = split(results[repeats.BUILTIN][2])
    same = bed_records == own_records
    print(f"records kept: bedtools {len(bed_records)}, builtin {len(own_records)}; "
          f"same records: {'yes' if same else 'NO'}; same header: {'yes' if bed_header == own_header else 'no'}")
    speedup = results[repeats.BEDTOOLS][0] / results[repeats.BUILTIN][0]
    print(f"built-in speed-up over bedtools: {speedup:.2f}x")

    _, baseline = run_child(large, "none", "")
    n_small = count_records(small)
    _, small_peak = run_child(small, repeats.BUILTIN, os.path.join(out_dir, "small.vcf"))
    large_peak = results[repeats.BUILTIN][1]
    print("built-in engine peak resident memory (child process, ru_maxrss):")
    print(f"  interpreter + module only : {baseline / 1024:7.1f} MiB")
    print(f"  {n_small:>8} records         : {small_peak / 1024:7.1f} MiB")
    print(f"  {n_large:>8} records         : {large_peak / 1024:7.1f} MiB "
          f"({(large_peak - small_peak) / 1024:+.1f} MiB for {n_large / n_small:.0f}x the records)")
    if not same:
        raise SystemExit("the engines kept different records")


if __name__ == "__main__":
    main()
