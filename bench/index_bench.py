#!/usr/bin/env python3
"""What an index costs on a million-record set.

    index_bench.py [--work DIR] [--records N] [--repeat R] [--threads T]

Runs Merivane.unifier.run on the four plain inputs of `make_inputs.py DIR
--records N` (generated under DIR, default: merivane-index-bench in the temporary directory, unless
already there) without an index and with index="tbi", and `tabix -p vcf` on
the output without one. Prints:

- the extra time of index="tbi" over no index (target: under 2 % of the run);
- that extra time against running `tabix -p vcf` afterwards, which reads the
  whole compressed file back;
- whether the index equals the one tabix writes;
- the index's own cost, measured closer: write_bgzf on the run's output text
  with and without index="tbi", alternating, as CPU time of the calling
  thread (which does all the work with one thread), at level 6 to be quick;
  what the index adds does not depend on the level.

Each time is given as wall clock and as CPU time (this process and its
children, GNU sort included): on a loaded machine the wall clock swings by
more than the cost measured, the CPU time much less. Runs alternate (plain,
indexed, plain, ...) so a change of load weighs on both alike; the best of R
counts.
"""
import gzip
import os
import shutil
import subprocess
import time

from bench_support import bench_inputs, bench_parser
from Merivane import compression, unifier


def cpu_seconds():
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


def timed(run):
    """(wall seconds, CPU seconds, result) of run()."""
    wall, cpu = time.perf_counter(), cpu_seconds()
    result = run()
    return time.perf_counter() - wall, cpu_seconds() - cpu, result


def index_alone(args, plain_gz, c_plain):
    """The index's own cost: write_bgzf on the run's output text with and
    without index="tbi", alternating, as CPU time of the calling thread."""
    text = os.path.join(args.work, "sorted.vcf")
    with gzip.open(plain_gz, "rb") as packed, open(text, "wb") as plain_text:
        shutil.copyfileobj(packed, plain_text, 1 << 20)
    thread = {None: [], "tbi": []}
    for _ in range(args.repeat + 1):
        for index in thread:
            start = time.thread_time()
            compression.write_bgzf(text, text + ".gz", compresslevel=6, index=index)
            thread[index].append(time.thread_time() - start)
    own = min(thread["tbi"]) - min(thread[None])
    print(f"write_bgzf alone, thread CPU: {min(thread[None]):.2f} s without, {min(thread['tbi']):.2f} s with the "
          f"index: {own:+.2f} s = {100 * own / c_plain:+.2f} % of the run's CPU time")
    for path in (text, text + ".gz", text + ".gz.tbi"):
        if os.path.exists(path):
            os.remove(path)


def main():
    ap = bench_parser(__doc__, "merivane-index-bench", repeat=3)
    ap.add_argument("--threads", type=int, default=1, help="the run's compression threads")
    args = ap.parse_args()
    paths = bench_inputs(args)
    plain_out = os.path.join(args.work, "plain.vcf")
    indexed_out = os.path.join(args.work, "indexed.vcf")

    def run(output, index):
        return unifier.run(output, paths["sv"], paths["cnv"], paths["repeats"], paths["roh"],
                           threads=args.threads, index=index)

    plain, indexed = [], []
    for _ in range(args.repeat):
        *t, plain_gz = timed(lambda: run(plain_out, None))
        plain.append(t)
        *t, indexed_gz = timed(lambda: run(indexed_out, "tbi"))
        indexed.append(t)
    (w_plain, c_plain), (w_indexed, c_indexed) = [(min(w for w, _ in ts), min(c for _, c in ts))
                                                  for ts in (plain, indexed)]
    with open(plain_gz, "rb") as a, open(indexed_gz, "rb") as b:
        same_data = a.read() == b.read()

    tabix = shutil.which("tabix")
    same_index = None
    if tabix:
        runs = [timed(lambda: subprocess.run([tabix, "-f", "-p", "vcf", plain_gz], check=True))
                for _ in range(args.repeat)]
        w_tabix, c_tabix = min(r[0] for r in runs), min(r[1] for r in runs)
        with open(plain_gz + ".tbi", "rb") as theirs, open(indexed_gz + ".tbi", "rb") as ours:
            same_index = gzip.decompress(theirs.read()) == gzip.decompress(ours.read())

    load = os.getloadavg()
    print(f"{args.records:,} SV records (plus CNV, repeats, ROH); threads={args.threads}; best of {args.repeat}; "
          f"load average {load[0]:.1f} {load[1]:.1f} {load[2]:.1f}")
    print(f"run, no index:        wall {w_plain:8.2f} s   CPU {c_plain:8.2f} s")
    print(f"run, index='tbi':     wall {w_indexed:8.2f} s   CPU {c_indexed:8.2f} s   compressed data identical: "
          f"{same_data}")
    for name, extra, base in (("wall", w_indexed - w_plain, w_plain), ("CPU", c_indexed - c_plain, c_plain)):
        print(f"extra for the index ({name}): {extra:+.2f} s = {100 * extra / base:+.2f} % of the run (target < 2 %)")
    if tabix:
        print(f"tabix -p vcf after:   wall {w_tabix:8.2f} s   CPU {c_tabix:8.2f} s; the in-process index costs "
              f"{(c_indexed - c_plain) / c_tabix:.2f}x its CPU time; index identical to tabix's: {same_index}")
    else:
        print("tabix -p vcf after:   not installed")
    index_alone(args, plain_gz, c_plain)
    for path in (plain_gz, plain_gz + ".tbi", indexed_gz, indexed_gz + ".tbi"):
        if os.path.exists(path):
            os.remove(path)


if __name__ == "__main__":
    main()
