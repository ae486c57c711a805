#!/usr/bin/env python3
"""What an index costs on a million-record set.

    index_bench.py [--work DIR] [--records N] [--repeat R] [--threads T]

Runs Merivane.unifier.run on the four plain inputs of `make_inputs.py DIR
--records N` (generated under DIR, default /tmp/merivane-index-bench, unless
already there) without an index and with index="tbi", and `tabix -p vcf` on
the output without one. Prints:

- the extra time of index="tbi" over no index (target: under 2 % of the run);
- that extra time against running `tabix -p vcf` afterwards, which reads the
  whole compressed file back;
- whether the index equals the one tabix writes.

Runs alternate (plain, indexed, plain, ...) so a change of load on the
machine weighs on both alike; the best of R counts.
"""
import argparse
import gzip
import os
import shutil
import subprocess
import time

from bench_support import make_inputs
from Merivane import unifier


def timed(run):
    start = time.perf_counter()
    result = run()
    return time.perf_counter() - start, result


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--work", default="/tmp/merivane-index-bench")
    ap.add_argument("--records", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=3, help="runs per timing; the best counts")
    ap.add_argument("--threads", type=int, default=1, help="the run's compression threads")
    args = ap.parse_args()
    paths = make_inputs(os.path.join(args.work, f"inputs-{args.records}"), args.records)
    plain_out = os.path.join(args.work, "plain.vcf")
    indexed_out = os.path.join(args.work, "indexed.vcf")

    def run(output, index):
        return unifier.run(output, paths["sv"], paths["cnv"], paths["repeats"], paths["roh"],
                           threads=args.threads, index=index)

    plain, indexed = [], []
    for _ in range(args.repeat):
        t, plain_gz = timed(lambda: run(plain_out, None))
        plain.append(t)
        t, indexed_gz = timed(lambda: run(indexed_out, "tbi"))
        indexed.append(t)
    t_plain, t_indexed = min(plain), min(indexed)
    with open(plain_gz, "rb") as a, open(indexed_gz, "rb") as b:
        same_data = a.read() == b.read()

    tabix = shutil.which("tabix")
    t_tabix, same_index = None, None
    if tabix:
        t_tabix = min(timed(lambda: subprocess.run([tabix, "-f", "-p", "vcf", plain_gz], check=True))[0]
                      for _ in range(args.repeat))
        with open(plain_gz + ".tbi", "rb") as theirs, open(indexed_gz + ".tbi", "rb") as ours:
            same_index = gzip.decompress(theirs.read()) == gzip.decompress(ours.read())

    load = os.getloadavg()
    print(f"{args.records:,} SV records (plus CNV, repeats, ROH); threads={args.threads}; best of {args.repeat}; "
          f"load average {load[0]:.1f} {load[1]:.1f} {load[2]:.1f}")
    print(f"run, no index:        {t_plain:8.2f} s")
    extra = t_indexed - t_plain
    print(f"run, index='tbi':     {t_indexed:8.2f} s   extra {extra:+.2f} s = {100 * extra / t_plain:+.2f} % "
          f"of the run (target < 2 %); compressed data identical: {same_data}")
    if tabix:
        print(f"tabix -p vcf after:   {t_tabix:8.2f} s   the in-process index costs {extra / t_tabix:.2f}x of it; "
              f"index identical to tabix's: {same_index}")
    else:
        print("tabix -p vcf after:   not installed")
    for path in (plain_gz, plain_gz + ".tbi", indexed_gz, indexed_gz + ".tbi"):
        if os.path.exists(path):
            os.remove(path)


if __name__ == "__main__":
    main()
