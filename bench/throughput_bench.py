#!/usr/bin/env python3
"""Throughput targets on a million-record set, measured side by side in one run.

    throughput_bench.py [--records N] [--work DIR] [--repeat R] [--no-memory] [--no-peer]

Inputs come from the shared generator (`make_inputs.py`, beside the
repository in ../shared/bench) and are kept under DIR (default: a folder in
the system temporary directory) for later runs. Every job is
`Merivane.unifier.run` on the four plain inputs. Prints each target with its
figure:

- threads=2 against threads=1 (level 9): at most 0.60x the time, same bytes;
- the default run against write_bgzf alone on the sorted file plus GNU sort
  alone on the unified file's records, in the unified file's order: at most
  1.05x;
- compresslevel=6, threads=2 against the shell peer (grep/awk, GNU sort,
  htslib's bgzip) at LEVEL=6 THREADS=2: at most 1.0x its time, at most 2%
  larger;
- two samples unified in two Python threads against one after the other: at
  most 0.65x;
- peak resident memory of a process running the job at 1, 2 and 4 threads:
  at most 1.5x the unified file.

Timings are wall-clock, the best of R runs. The machine should be otherwise
idle: on a loaded machine every ratio drifts towards 1.
"""
import os
import shutil
import subprocess
import threading
import time
from pathlib import Path

from bench_support import (PEER, bench_inputs, bench_parser, best_of, gnu_sort_alone, peak_kib, same_bytes,
                           unavoidable_costs_inputs, verdict)
from Merivane import compression, unifier

JOB_CHILD = """
import sys
from Merivane import unifier
output, sv, cnv, rep, roh, threads = sys.argv[1:7]
if sv:
    unifier.run(output, sv, cnv, rep, roh, threads=int(threads))
"""


def run_job(output, paths, **settings):
    return unifier.run(output, paths["sv"], paths["cnv"], paths["repeats"], paths["roh"], **settings)


def threads_against_one(args, paths, out, work):
    """One thread, then two, at the default level; returns the one-thread output."""
    t1, result = best_of(args.repeat, lambda: run_job(out, paths))
    one = str(work / "threads1.vcf.gz")
    os.replace(result, one)
    t2, result = best_of(args.repeat, lambda: run_job(out, paths, threads=2))
    identical = same_bytes(result, one)
    os.remove(result)
    print(f"run, threads=1: {t1:7.2f} s; threads=2: {t2:7.2f} s = {t2 / t1:.3f}x "
          f"(target <= 0.60x: {verdict(t2 / t1 <= 0.60)}); same bytes: {identical}", flush=True)
    return t1, one


def against_costs_alone(args, paths, work, t1, one):
    """The two costs a run cannot avoid, each alone on the same file."""
    sorted_path, records_path, unified_bytes = unavoidable_costs_inputs(str(work), paths, one)
    t_bgzf, _ = best_of(args.repeat, lambda: compression.write_bgzf(sorted_path, str(work / "alone.vcf.gz")))
    t_sort = 0.0
    if compression._gnu_sort_path():
        t_sort, _ = best_of(args.repeat, lambda: gnu_sort_alone(records_path, str(work / "records.sorted")))
    ratio = t1 / (t_bgzf + t_sort)
    print(f"write_bgzf alone: {t_bgzf:7.2f} s; GNU sort alone: {t_sort:7.2f} s; default run {t1:7.2f} s = "
          f"{ratio:.3f}x their sum (target <= 1.05x: {verdict(ratio <= 1.05)})", flush=True)
    for name in ("alone.vcf.gz", "records.sorted", "records.vcf", "sorted.vcf"):
        if os.path.exists(work / name):
            os.remove(work / name)
    return unified_bytes


def against_peer(args, paths, out, work):
    """Level 6 on two threads against the shell peer at the same settings."""
    t6, result = best_of(args.repeat, lambda: run_job(out, paths, threads=2, compresslevel=6))
    size6 = os.path.getsize(result)
    os.remove(result)
    if args.no_peer or not PEER.exists() or not shutil.which("bgzip"):
        return print(f"level 6, threads=2: {t6:7.2f} s, {size6:,} bytes (peer skipped)", flush=True)
    peer_out = str(work / "peer.vcf.gz")
    env = dict(os.environ, LEVEL="6", THREADS="2")
    t_peer, _ = best_of(args.repeat, lambda: subprocess.run(["bash", str(PEER), os.path.dirname(paths["sv"]),
                                                             peer_out], env=env, check=True))
    peer_size = os.path.getsize(peer_out)
    os.remove(peer_out)
    print(f"level 6, threads=2: {t6:7.2f} s, {size6:,} bytes; peer LEVEL=6 THREADS=2: {t_peer:7.2f} s, "
          f"{peer_size:,} bytes; time {t6 / t_peer:.3f}x (target <= 1.0x: {verdict(t6 <= t_peer)}), "
          f"size {size6 / peer_size:.4f}x (target <= 1.02x: {verdict(size6 <= 1.02 * peer_size)})", flush=True)


def two_samples(args, paths, work):
    """Two samples: in two Python threads, then one after the other."""
    outs = [str(work / "sample_a.vcf"), str(work / "sample_b.vcf")]

    def both_in_threads():
        errors = []

        def job(output):
            try:
                run_job(output, paths)
            except BaseException as error:  # reported below, not lost in the thread
                errors.append(error)

        workers = [threading.Thread(target=job, args=(output,)) for output in outs]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        if errors:
            raise errors[0]

    t_threads, _ = best_of(args.repeat, both_in_threads)
    t_serial, _ = best_of(args.repeat, lambda: [run_job(output, paths) for output in outs])
    for output in outs:
        os.remove(output + ".gz")
    print(f"two samples in two Python threads: {t_threads:7.2f} s; one after the other: {t_serial:7.2f} s = "
          f"{t_threads / t_serial:.3f}x (target <= 0.65x: {verdict(t_threads / t_serial <= 0.65)})", flush=True)


def main():
    ap = bench_parser(__doc__, "merivane-throughput-bench")
    ap.add_argument("--no-memory", action="store_true", help="skip the peak-memory runs")
    ap.add_argument("--no-peer", action="store_true", help="skip the shell peer")
    args = ap.parse_args()
    paths = bench_inputs(args)
    work = Path(args.work)
    out = str(work / "unified.vcf")
    print(f"GNU sort: {compression.gnu_sort_available()}; cores: {os.cpu_count()}; "
          f"load average: {os.getloadavg()[0]:.1f}", flush=True)
    t1, one = threads_against_one(args, paths, out, work)
    unified_bytes = against_costs_alone(args, paths, work, t1, one)
    against_peer(args, paths, out, work)
    two_samples(args, paths, work)
    if not args.no_memory:
        for threads in (1, 2, 4):
            peak = peak_kib(JOB_CHILD, out, paths["sv"], paths["cnv"], paths["repeats"], paths["roh"], str(threads))
            os.remove(out + ".gz")
            factor = peak * 1024 / unified_bytes
            print(f"peak RSS at threads={threads}: {peak / 1024:7.1f} MiB = {factor:.2f}x the unified file "
                  f"({unified_bytes / 2**20:.1f} MiB; target <= 1.5x: {verdict(factor <= 1.5)})", flush=True)
    os.remove(one)
    print(f"load average at the end: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
