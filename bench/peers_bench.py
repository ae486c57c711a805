"""merivane at its defaults and at equal settings against the peers a user would run instead.

    peers_bench.py [--records N] [--work DIR] [--rounds R] [--index]

Every case runs once per round, the rounds interleaved, and the median of
the rounds counts; peak memory is the largest process of each run (wait4).
Cases, on make_inputs.py's DRAGEN set:
- `merivane dragen` at its defaults against the shell peer at its defaults
  (peer_pipeline.sh with LEVEL=-1 THREADS=1: GNU sort, bgzip's default level)
  and against peer_bcftools.sh (which indexes: with --index the command writes
  a tbi as well and both sizes count the index);
- `--level 6 --threads 1` and `--level 6 --threads 2` against the shell peer
  with LEVEL=6 and THREADS=1 or 2;
- `dragen_unify` at the specified defaults against write_bgzf alone plus GNU
  sort alone on the same text;
- the command's peak memory against the unified file's size.
"""
import argparse
import os
import statistics
import sys
import tempfile

from bench_support import (PEER, PEER_BCFTOOLS, gnu_sort_alone, make_inputs, timed_child,
                           unavoidable_costs_inputs, verdict)

MERIVANE = os.path.join(os.path.dirname(sys.executable), "merivane")

DOOR_CHILD = """
import sys
from Merivane import cli
out, sv, cnv, rep, roh = sys.argv[1:6]
cli.dragen_unify(out, sv, cnv, rep, roh)
"""

BGZF_CHILD = """
import sys
from Merivane import compression
compression.write_bgzf(sys.argv[1], sys.argv[2])
"""


def sizes(*paths):
    return sum(os.path.getsize(path) for path in paths if os.path.exists(path))


def fresh(run, *outputs):
    """`run` after removing what an earlier case left at `outputs`."""
    for path in outputs:
        if os.path.exists(path):
            os.remove(path)
    return run()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--records", type=int, default=1_000_000)
    ap.add_argument("--work", default=os.path.join(tempfile.gettempdir(), "merivane-peers-bench"))
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--index", action="store_true", help="time the command with --index tbi against bcftools")
    args = ap.parse_args()
    os.makedirs(args.work, exist_ok=True)
    inputs_dir = os.path.join(args.work, f"inputs-{args.records}")
    paths = make_inputs(inputs_dir, args.records)
    work = args.work
    given = ["-s", paths["sv"], "-c", paths["cnv"], "-r", paths["repeats"], "-d", paths["roh"], "--no-version"]
    unified = os.path.join(work, "m.vcf")

    def command(*settings):
        outputs = (unified + ".gz", unified + ".gz.tbi")
        return lambda: fresh(lambda: (timed_child([MERIVANE, "dragen", "-o", unified, *given, *settings]),
                                      sizes(*outputs)), *outputs)

    def peer(script, **env):
        out = os.path.join(work, "peer.vcf.gz")
        return lambda: fresh(lambda: (timed_child(["bash", str(script), inputs_dir, out], **env),
                                      sizes(out, out + ".tbi")), out, out + ".tbi")

    def door():
        return timed_child([sys.executable, "-c", DOOR_CHILD, unified, paths["sv"], paths["cnv"], paths["repeats"],
                            paths["roh"]]), sizes(unified + ".gz")

    default_settings = ["--index", "tbi"] if args.index else []
    cases = {
        "merivane defaults": command(*default_settings),
        "peer LEVEL=-1 THREADS=1": peer(PEER, LEVEL="-1", THREADS="1"),
        "peer_bcftools": peer(PEER_BCFTOOLS),
        "merivane --level 6 --threads 1": command("--level", "6", "--threads", "1"),
        "peer LEVEL=6 THREADS=1": peer(PEER, LEVEL="6", THREADS="1"),
        "merivane --level 6 --threads 2": command("--level", "6", "--threads", "2"),
        "peer LEVEL=6 THREADS=2": peer(PEER, LEVEL="6", THREADS="2"),
        "dragen_unify (level 9, 1 thread)": door,
    }
    print(f"{args.records:,} records; cores: {os.cpu_count()}; load average {os.getloadavg()[0]:.1f}", flush=True)
    runs = {name: [] for name in cases}
    for round_number in range(args.rounds):
        for name, run in cases.items():
            runs[name].append(run())
        print(f"round {round_number + 1} done; load average {os.getloadavg()[0]:.1f}", flush=True)

    # The costs a run cannot avoid, on the text the door wrote.
    sorted_path, records_path, unified_bytes = unavoidable_costs_inputs(work, paths, unified + ".gz")
    bgzf_alone = statistics.median(
        timed_child([sys.executable, "-c", BGZF_CHILD, sorted_path, sorted_path + ".gz"])[0]
        for _ in range(args.rounds))
    sort_alone = statistics.median(
        timed_child([sys.executable, "-c", f"import bench_support; bench_support.gnu_sort_alone("
                     f"{records_path!r}, {records_path + '.sorted'!r})"], PYTHONPATH=os.path.dirname(__file__))[0]
        for _ in range(args.rounds))
    for leftover in (sorted_path, sorted_path + ".gz", records_path, records_path + ".sorted"):
        os.remove(leftover)

    table = {}
    print(f"\n{'case':36} {'seconds':>8} {'bytes':>12} {'peak MiB':>9}")
    for name, results in runs.items():
        seconds = statistics.median(t for (t, _), _ in results)
        peak = max(p for (_, p), _ in results) / 1024
        size = results[-1][1]
        table[name] = (seconds, size, peak)
        print(f"{name:36} {seconds:8.2f} {size:12,} {peak:9.1f}")
    print(f"{'write_bgzf alone + GNU sort alone':36} {bgzf_alone + sort_alone:8.2f}"
          f"   ({bgzf_alone:.2f} + {sort_alone:.2f}); unified file {unified_bytes / 2**20:.1f} MiB\n")

    def against(ours, theirs, time_limit, size_limit=1.0):
        t, s, _ = table[ours]
        pt, ps, _ = table[theirs]
        print(f"{ours} vs {theirs}: time {t / pt:.2f}x (<= {time_limit}x: {verdict(t <= time_limit * pt)}), "
              f"size {s / ps:.3f}x (<= {size_limit}x: {verdict(s <= size_limit * ps)})")

    against("merivane defaults", "peer LEVEL=-1 THREADS=1", 0.5)
    t, _, _ = table["merivane defaults"]
    print(f"merivane defaults vs peer_bcftools: time {t / table['peer_bcftools'][0]:.2f}x "
          f"(<= 0.2x: {verdict(t <= 0.2 * table['peer_bcftools'][0])})")
    against("merivane --level 6 --threads 1", "peer LEVEL=6 THREADS=1", 0.8)
    against("merivane --level 6 --threads 2", "peer LEVEL=6 THREADS=2", 0.8)
    door_seconds = table["dragen_unify (level 9, 1 thread)"][0]
    ratio = door_seconds / (bgzf_alone + sort_alone)
    print(f"dragen_unify vs write_bgzf + GNU sort alone: {ratio:.2f}x (<= 1.05x: {verdict(ratio <= 1.05)})")
    for name in ("merivane defaults", "dragen_unify (level 9, 1 thread)"):
        factor = table[name][2] * 2**20 / unified_bytes
        print(f"{name} peak memory: {factor:.2f}x the unified file (<= 1.5x: {verdict(factor <= 1.5)})")


if __name__ == "__main__":
    main()
