#!/usr/bin/env python3
"""Repeat filter benchmark: both engines on a gzip-compressed repeat VCF against
the shipped catalog, and the built-in engine's peak memory on a large and a
small VCF (it should hold only the catalog, whatever the VCF's size); then the
engines and bedtools itself against large generated catalogs (--loci), where
the cost of looking a record up in the catalog shows.

    repeats_bench.py [--dir DIR] [--records 1000000] [--loci 100000 1000000]

--records is passed to make_inputs.py, whose repeat VCF has half as many
records. Inputs are generated once into --dir and reused. Each run is a fresh
child process, so its peak resident memory is its own.
"""
import argparse
import gzip
import os
import random
import shutil
import subprocess
import sys
import time

from bench_support import default_work, timed_child
from bench_support import make_inputs as generate

SMALL_RECORDS = 20_000

CHILD = """
import sys
from Merivane import repeats
vcf, engine, out, bed = sys.argv[1:5]
if engine != "none":
    repeats.filter_repeats_vcf(vcf, bed or repeats.default_repeat_catalog_path(), engine, out)
"""


def make_inputs(directory, records):
    return generate(directory, records, compressed=True)["repeats"]


def run_child(vcf, engine, out, bed=""):
    """(seconds, peak resident KiB) of one filter run in a fresh interpreter."""
    return timed_child([sys.executable, "-c", CHILD, vcf, engine, out, bed])


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


def make_catalog(path, vcf, loci):
    """`loci` random intervals of 10 to 200 bases on the VCF's chromosomes and
    span, sorted, so that a share of the records overlaps them."""
    if os.path.exists(path):
        return path
    spans = {}
    with gzip.open(vcf, "rt", encoding="utf-8") as handle:
        for line in handle:
            if not line.startswith("#"):
                chrom, pos = line.split("\t", 2)[:2]
                spans[chrom] = max(spans.get(chrom, 0), int(pos))
    chroms = sorted(spans)
    rng = random.Random(loci)
    intervals = []
    for _ in range(loci):
        chrom = rng.choice(chroms)
        start = rng.randrange(spans[chrom] + 1)
        intervals.append((chrom, start, start + rng.randrange(10, 201)))
    intervals.sort()
    with open(path + ".part", "w", encoding="utf-8") as out:
        out.writelines(f"{c}\t{s}\t{e}\tID=L{i}\n" for i, (c, s, e) in enumerate(intervals))
    os.replace(path + ".part", path)
    return path


def time_bedtools(vcf, bed, out):
    """Seconds of the bare `bedtools intersect` the bedtools engine runs."""
    started = time.perf_counter()
    with open(out, "wb") as sink:
        subprocess.run([shutil.which("bedtools"), "intersect", "-u", "-a", vcf, "-b", bed, "-header"], stdout=sink,
                       check=True)
    return time.perf_counter() - started


def large_catalogs(vcf, n_records, loci_counts, directory, repeat):
    """The engines against catalogs of many loci; the kept records must agree."""
    print(f"\nlarge catalogs ({n_records} records, best of {repeat}):")
    print(f"{'loci':>9} {'bedtools':>9} {'engine bedtools':>16} {'builtin':>9} {'kept':>8} {'speed-up':>9}")
    for loci in loci_counts:
        bed = make_catalog(os.path.join(directory, f"catalog.{loci}.bed"), vcf, loci)
        bare = min(time_bedtools(vcf, bed, os.path.join(directory, "bare.vcf")) for _ in range(repeat))
        timings, kept = {}, {}
        for engine in ("bedtools", "builtin"):
            out = os.path.join(directory, f"{engine}.{loci}.vcf")
            timings[engine] = min(run_child(vcf, engine, out, bed)[0] for _ in range(repeat))
            kept[engine] = split(out)[1]
        if kept["bedtools"] != kept["builtin"] or kept["builtin"] != split(os.path.join(directory, "bare.vcf"))[1]:
            raise SystemExit(f"{loci} loci: the engines kept different records")
        print(f"{loci:>9} {bare:>8.2f}s {timings['bedtools']:>15.2f}s {timings['builtin']:>8.2f}s "
              f"{len(kept['builtin']):>8} {bare / timings['builtin']:>8.1f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=default_work("merivane-repeats-bench"))
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3, help="timed runs per engine (best is reported)")
    parser.add_argument("--loci", type=int, nargs="*", default=[100_000, 1_000_000],
                        help="sizes of the generated catalogs (none: skip that part)")
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
    if args.loci:
        large_catalogs(large, n_large, args.loci, out_dir, args.repeat)


if __name__ == "__main__":
    main()
