#!/usr/bin/env python3
"""Scale check: about five million records through `dragen_unify`, in a child
process, with its peak memory set against the size of the unified file (the
writer's bound is 2.5 times that size).

    bench/scale_bench.py [--records 5000000] [--work DIR] [--keep]

Inputs come from the shared make_inputs.py beside the repository (SV, CNV, repeats and an
ROH BED in the proportions it uses). Not run in CI: the inputs alone take
several gigabytes and minutes to write.
"""
import argparse
import json
import os
import resource
import shutil
import struct
import subprocess
import sys
import time

from bench_support import MAKE_INPUTS, default_work

# make_inputs.py writes N SV records and N/20 CNV, N/2 repeat and N/200 ROH ones.
RECORDS_PER_N = 1 + 1 / 20 + 1 / 2 + 1 / 200
BOUND = 2.5

CHILD = """
import json, resource, sys, time
from Merivane import cli
work = sys.argv[1]
start = time.perf_counter()
result = cli.dragen_unify(work + "/unified.vcf", work + "/sv.vcf", work + "/cnv.vcf",
                          work + "/repeats.vcf", work + "/roh.bed")
print(json.dumps({"result": result, "seconds": time.perf_counter() - start,
                  "maxrss_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}))
"""


def bgzf_content_size(path):
    """Uncompressed size of a BGZF file: the sum of its blocks' ISIZE fields."""
    total = blocks = 0
    with open(path, "rb") as f:
        while True:
            header = f.read(18)
            if not header:
                return total, blocks
            (bsize,) = struct.unpack_from("<H", header, 16)
            f.seek(bsize + 1 - 18 - 4, os.SEEK_CUR)
            (isize,) = struct.unpack("<I", f.read(4))
            total += isize
            blocks += 1


def record_count(path):
    with open(path, "rb") as f:
        return sum(1 for line in f if line.strip() and not line.startswith(b"#"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--records", type=int, default=5_000_000, help="records over all four inputs")
    parser.add_argument("--work", default=default_work("merivane-scale"))
    parser.add_argument("--keep", action="store_true", help="keep the inputs and the output")
    args = parser.parse_args()

    os.makedirs(args.work, exist_ok=True)
    n = round(args.records / RECORDS_PER_N)
    inputs = [os.path.join(args.work, name) for name in ("sv.vcf", "cnv.vcf", "repeats.vcf", "roh.bed")]
    if not all(os.path.exists(p) for p in inputs) or not os.path.exists(os.path.join(args.work, f"n={n}")):
        started = time.perf_counter()
        subprocess.run([sys.executable, str(MAKE_INPUTS), args.work, "--records", str(n)], check=True)
        open(os.path.join(args.work, f"n={n}"), "w").close()
        print(f"inputs written in {time.perf_counter() - started:.0f} s")
    records = sum(record_count(p) for p in inputs)
    input_bytes = sum(os.path.getsize(p) for p in inputs)

    child = subprocess.run([sys.executable, "-c", CHILD, args.work], check=True, capture_output=True, text=True)
    figures = json.loads(child.stdout.strip().splitlines()[-1])
    # The largest of the child and of what it waited for (GNU sort among them).
    children_peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    unified_bytes, blocks = bgzf_content_size(figures["result"])
    peak_bytes = figures["maxrss_kib"] * 1024
    ratio = peak_bytes / unified_bytes

    print(f"records:            {records:,} ({input_bytes / 2**20:,.0f} MiB of inputs)")
    print(f"dragen_unify:       {figures['seconds']:.1f} s")
    print(f"unified file:       {unified_bytes / 2**20:,.0f} MiB; BGZF {os.path.getsize(figures['result']) / 2**20:,.0f} MiB"
          f" in {blocks:,} blocks")
    print(f"peak RSS (child):   {peak_bytes / 2**20:,.0f} MiB = {ratio:.2f} x the unified file (bound {BOUND})")
    print(f"peak RSS (any process waited for, GNU sort included): {children_peak_kib / 2**10:,.0f} MiB")
    if not args.keep:
        shutil.rmtree(args.work)
    return 0 if ratio <= BOUND else 1


if __name__ == "__main__":
    sys.exit(main())
