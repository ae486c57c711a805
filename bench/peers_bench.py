"""merivane at its defaults and at equal settings against the peers a user would run instead.

    peers_bench.py [--records N] [--work DIR] [--repeat R] [--index]

Every case runs once per round (R rounds, default 3), the rounds
interleaved, and the median of the rounds counts; peak memory is the largest process of each run (wait4).
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
import os
import statistics
import sys

from bench_support import (PEER, PEER_BCFTOOLS, bench_inputs, bench_parser, timed_child, unavoidable_costs_inputs,
                           verdict)

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


def cases(args, paths, work):
    """Each case's run, returning ((seconds, peak KiB), bytes written)."""
    inputs_dir = os.path.dirname(paths["sv"])
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

    return {
        "merivane defaults": command(*(["--index", "tbi"] if args.index else [])),
        "peer LEVEL=-1 THREADS=1": peer(PEER, LEVEL="-1", THREADS="1"),
        "peer_bcftools": peer(PEER_BCFTOOLS),
        "merivane --level 6 --threads 1": command("--level", "6", "--threads", "1"),
        "peer LEVEL=6 THREADS=1": peer(PEER, LEVEL="6", THREADS="1"),
        "merivane --level 6 --threads 2": command("--level", "6", "--threads", "2"),
        "peer LEVEL=6 THREADS=2": peer(PEER, LEVEL="6", THREADS="2"),
        "dragen_unify (level 9, 1 thread)": door,
    }


def costs_alone(work, paths, rounds):
    """Medians of write_bgzf alone and GNU sort alone on the text the door
    wrote, and the unified file's size."""
    sorted_path, records_path, unified_bytes = unavoidable_costs_inputs(work, paths, os.path.join(work, "m.vcf.gz"))
    bgzf = [timed_child([sys.executable, "-c", BGZF_CHILD, sorted_path, sorted_path + ".gz"])[0]
            for _ in range(rounds)]
    sort = [timed_child([sys.executable, "-c", f"import bench_support; bench_support.gnu_sort_alone("
                         f"{records_path!r}, {records_path + '.sorted'!r})"], PYTHONPATH=os.path.dirname(__file__))[0]
            for _ in range(rounds)]
    for leftover in (sorted_path, sorted_path + ".gz", records_path, records_path + ".sorted"):
        os.remove(leftover)
    return statistics.median(bgzf), statistics.median(sort), unified_bytes


def print_table(runs, bgzf_alone, sort_alone, unified_bytes):
    table = {}
    print(f"\n{'case':36} {'seconds':>8} {'bytes':>12} {'peak MiB':>9}")
    for name, results in runs.items():
        seconds = statistics.median(t for (t, _), _ in results)
        peak = max(p for (_, p), _ in results) / 1024
        table[name] = (seconds, results[-1][1], peak)
        print(f"{name:36} {seconds:8.2f} {results[-1][1]:12,} {peak:9.1f}")
    print(f"{'write_bgzf alone + GNU sort alone':36} {bgzf_alone + sort_alone:8.2f}"
          f"   ({bgzf_alone:.2f} + {sort_alone:.2f}); unified file {unified_bytes / 2**20:.1f} MiB\n")
    return table


def print_verdicts(table, alone, unified_bytes):
    def against(ours, theirs, time_limit, size_limit=1.0):
        (t, s, _), (pt, ps, _) = table[ours], table[theirs]
        print(f"{ours} vs {theirs}: time {t / pt:.2f}x (<= {time_limit}x: {verdict(t <= time_limit * pt)}), "
              f"size {s / ps:.3f}x (<= {size_limit}x: {verdict(s <= size_limit * ps)})")

    against("merivane defaults", "peer LEVEL=-1 THREADS=1", 0.5)
    t, bcftools = table["merivane defaults"][0], table["peer_bcftools"][0]
    print(f"merivane defaults vs peer_bcftools: time {t / bcftools:.2f}x (<= 0.2x: {verdict(t <= 0.2 * bcftools)})")
    against("merivane --level 6 --threads 1", "peer LEVEL=6 THREADS=1", 0.8)
    against("merivane --level 6 --threads 2", "peer LEVEL=6 THREADS=2", 0.8)
    ratio = table["dragen_unify (level 9, 1 thread)"][0] / alone
    print(f"dragen_unify vs write_bgzf + GNU sort alone: {ratio:.2f}x (<= 1.05x: {verdict(ratio <= 1.05)})")
    for name in ("merivane defaults", "dragen_unify (level 9, 1 thread)"):
        factor = table[name][2] * 2**20 / unified_bytes
        print(f"{name} peak memory: {factor:.2f}x the unified file (<= 1.5x: {verdict(factor <= 1.5)})")


def main():
    ap = bench_parser(__doc__, "merivane-peers-bench", repeat=3)
    ap.add_argument("--rounds", dest="repeat", type=int, help="the same as --repeat")
    ap.add_argument("--index", action="store_true", help="time the command with --index tbi against bcftools")
    args = ap.parse_args()
    paths = bench_inputs(args)
    runs = {name: [] for name in cases(args, paths, args.work)}
    print(f"{args.records:,} records; cores: {os.cpu_count()}; load average {os.getloadavg()[0]:.1f}", flush=True)
    for round_number in range(args.repeat):
        for name, run in cases(args, paths, args.work).items():
            runs[name].append(run())
        print(f"round {round_number + 1} done; load average {os.getloadavg()[0]:.1f}", flush=True)
    bgzf_alone, sort_alone, unified_bytes = costs_alone(args.work, paths, args.repeat)
    table = print_table(runs, bgzf_alone, sort_alone, unified_bytes)
    print_verdicts(table, bgzf_alone + sort_alone, unified_bytes)


if __name__ == "__main__":
    main()
