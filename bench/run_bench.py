#!/usr/bin/env python3
"""Speed and memory of Merivane.unifier.run on a million-record DRAGEN-like set.

    run_bench.py [--work DIR] [--records N] [--repeat R]

Inputs are `make_inputs.py DIR/inputs-N --records N` (N SV, N/20 CNV, N/2
repeat records and N/200 ROH intervals, plain text), generated under DIR
(default /tmp/merivane-unifier-bench) unless already there. Prints:

- run on the four inputs against the two costs it cannot avoid, measured in
  the same process: write_bgzf alone on the final sorted file, plus the sort
  engine that run chose alone on the unified file's records (target: at most
  1.1x, so reading, the record rules, writing and temporary files together
  cost at most a tenth);
- the peak resident memory of a process running run against the unified
  file's size (target: at most 2.5x). GNU sort runs in a process of its own
  and is not counted.
"""
import argparse
import gzip
import os
import shutil
import subprocess
import sys
import time

from Merivane import compression, unifier

MAKE_INPUTS = "/work/shared/bench/make_inputs.py"


def best_of(repeat, run):
    """The shortest of `repeat` wall-clock times of run(), and its last result."""
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


def prepare(work, records):
    inputs = os.path.join(work, f"inputs-{records}")
    if not os.path.exists(os.path.join(inputs, "roh.bed")):
        subprocess.run([sys.executable, MAKE_INPUTS, inputs, "--records", str(records)], check=True)
    return {kind: os.path.join(inputs, name) for kind, name in
            [("sv", "sv.vcf"), ("cnv", "cnv.vcf"), ("repeats", "repeats.vcf"), ("roh", "roh.bed")]}


# The child reports its own high-water mark (VmHWM): its ru_maxrss may start
# from its parent's peak when it was started by vfork and exec.
PEAK_CHILD = """
import sys
from Merivane import unifier
if len(sys.argv) > 1:
    unifier.run(*sys.argv[1:])
with open("/proc/self/status") as status:
    print(next(line.split()[1] for line in status if line.startswith("VmHWM:")))
"""


def peak_kib(*args):
    out = subprocess.run([sys.executable, "-c", PEAK_CHILD, *args], check=True, capture_output=True, text=True)
    return int(out.stdout)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--work", default="/tmp/merivane-unifier-bench")
    ap.add_argument("--records", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=1, help="runs per timing; the best counts")
    args = ap.parse_args()
    os.makedirs(args.work, exist_ok=True)
    paths = prepare(args.work, args.records)
    input_bytes = sum(os.path.getsize(p) for p in paths.values())
    output = os.path.join(args.work, "unified.vcf")
    have_gnu = compression.gnu_sort_available()

    t_run, result = best_of(args.repeat, lambda: unifier.run(output, paths["sv"], paths["cnv"], paths["repeats"],
                                                              paths["roh"]))
    assert result == output + ".gz" and not os.path.exists(output)

    # The final sorted file is the compressed result's text; the unified file
    # holds the same lines in input order.
    sorted_path = os.path.join(args.work, "sorted.vcf")
    with gzip.open(result, "rb") as packed, open(sorted_path, "wb") as plain:
        shutil.copyfileobj(packed, plain, 1 << 20)
    unified_bytes = os.path.getsize(sorted_path)
    lines = unifier.unify_lines(unifier.read_struct_lines(
        {"sv": paths["sv"], "cnv": paths["cnv"], "repeats": paths["repeats"], "roh": paths["roh"]}),
        output) and unifier.get_lines(output)
    os.remove(output)
    records = compression.split_header(lines)[1]
    print(f"inputs: {input_bytes / 2**20:.1f} MiB; unified file: {len(records):,} records, "
          f"{unified_bytes / 2**20:.1f} MiB")

    bgzf_path = os.path.join(args.work, "reference.vcf.gz")
    t_bgzf, _ = best_of(args.repeat, lambda: compression.write_bgzf(sorted_path, bgzf_path))
    if have_gnu:
        engine = compression.GNU_SORT
        t_engine, _ = best_of(args.repeat, lambda: compression._sort_records_with_gnu_sort(records))
    else:
        engine = compression.PYTHON_SORT
        t_engine, _ = best_of(args.repeat, lambda: compression.sort_vcf_lines(lines, engine))
    identical = open(result, "rb").read() == open(bgzf_path, "rb").read()
    del lines, records
    print(f"write_bgzf alone on the sorted file:  {t_bgzf:8.2f} s")
    print(f"sort engine alone ({engine}) on the records: {t_engine:8.2f} s")
    print(f"run on the four inputs:               {t_run:8.2f} s   {t_run / (t_bgzf + t_engine):.3f}x "
          f"write_bgzf + engine (target <= 1.1x); output identical to write_bgzf's: {identical}")

    base = peak_kib()
    own = peak_kib(output, paths["sv"], paths["cnv"], paths["repeats"], paths["roh"])
    print(f"peak RSS of a process that only imports the package: {base / 1024:7.1f} MiB")
    print(f"peak RSS of a process running run: {own / 1024:7.1f} MiB = {own * 1024 / unified_bytes:.2f}x the unified "
          f"file (target <= 2.5x); {(own - base) * 1024 / unified_bytes:.2f}x without the interpreter")
    for path in (result, bgzf_path, sorted_path):
        os.remove(path)


if __name__ == "__main__":
    main()
