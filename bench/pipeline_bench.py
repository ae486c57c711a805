#!/usr/bin/env python3
"""Speed and memory of the whole job on a million-record set.

    pipeline_bench.py [--job run|dragen|pacbio] [--work DIR] [--records N] [--repeat R]

Jobs: `run` (Merivane.unifier.run) and `dragen` (Merivane.cli.dragen_unify)
on the four plain inputs of `make_inputs.py DIR --records N` (N SV, N/20 CNV,
N/2 repeat records, N/200 ROH intervals); `pacbio`
(Merivane.cli.pacbio_filter_and_unify) on the gzip-compressed inputs, the
repeat VCF filtered against the shipped catalog. Inputs are generated under
DIR (default: merivane-pipeline-bench in the temporary directory) unless already there. Prints:

- the job against the two costs it cannot avoid, measured in the same
  process: write_bgzf alone on the final sorted file, plus the sort engine
  the job chose alone on the unified file's records (target: at most 1.1x,
  so reading, the record rules, writing and temporary files together cost at
  most a tenth);
- the peak resident memory of a process running the job against the unified
  file's size (target: at most 2.5x). GNU sort runs in a process of its own
  and is not counted.
"""
import argparse
import gzip
import os
import shutil

from bench_support import best_of, default_work, make_inputs, peak_kib
from Merivane import cli, compression, repeats, unifier

JOB_CHILD = """
import sys
from Merivane import cli, repeats, unifier
job, output, sv, cnv, rep, roh = sys.argv[1:7]
if job == "run":
    unifier.run(output, sv, cnv, rep, roh)
elif job == "dragen":
    cli.dragen_unify(output, sv, cnv, rep, roh)
elif job == "pacbio":
    cli.pacbio_filter_and_unify(output, sv, cnv, rep, repeats.default_repeat_catalog_path())
"""


def run_job(job, output, paths):
    if job == "run":
        return unifier.run(output, paths["sv"], paths["cnv"], paths["repeats"], paths["roh"])
    if job == "dragen":
        return cli.dragen_unify(output, paths["sv"], paths["cnv"], paths["repeats"], paths["roh"])
    return cli.pacbio_filter_and_unify(output, paths["sv"], paths["cnv"], paths["repeats"],
                                       repeats.default_repeat_catalog_path())


def unified_inputs(job, paths):
    """What the job unified: the pacbio door unifies the filtered repeats and no ROH."""
    if job != "pacbio":
        return paths
    return {"sv": paths["sv"], "cnv": paths["cnv"], "repeats": repeats._filtered_repeat_path(paths["repeats"]),
            "roh": None}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--job", choices=["run", "dragen", "pacbio"], default="run")
    ap.add_argument("--work", default=default_work("merivane-pipeline-bench"))
    ap.add_argument("--records", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=1, help="runs per timing; the best counts")
    args = ap.parse_args()
    compressed = args.job == "pacbio"
    paths = make_inputs(os.path.join(args.work, f"inputs-{args.records}{'-gz' * compressed}"), args.records,
                        compressed)
    input_bytes = sum(os.path.getsize(p) for p in paths.values())
    output = os.path.join(args.work, "unified.vcf")
    have_gnu = compression.gnu_sort_available()

    t_job, result = best_of(args.repeat, lambda: run_job(args.job, output, paths))
    assert result == output + ".gz" and not os.path.exists(output)

    # The final sorted file is the compressed result's text; the unified file
    # holds the same lines in input order.
    sorted_path = os.path.join(args.work, "sorted.vcf")
    with gzip.open(result, "rb") as packed, open(sorted_path, "wb") as plain:
        shutil.copyfileobj(packed, plain, 1 << 20)
    unified_bytes = os.path.getsize(sorted_path)
    unifier.unify_lines(unifier.read_struct_lines(unified_inputs(args.job, paths)), output)
    lines = unifier.get_lines(output)
    os.remove(output)
    records = compression.split_header(lines)[1]
    print(f"job {args.job}; inputs: {input_bytes / 2**20:.1f} MiB; unified file: {len(records):,} records, "
          f"{unified_bytes / 2**20:.1f} MiB")

    bgzf_path = os.path.join(args.work, "reference.vcf.gz")
    t_bgzf, _ = best_of(args.repeat, lambda: compression.write_bgzf(sorted_path, bgzf_path))
    if have_gnu:
        engine = compression.GNU_SORT
        t_engine, _ = best_of(args.repeat, lambda: compression._sort_records_with_gnu_sort(records))
    else:
        engine = compression.PYTHON_SORT
        t_engine, _ = best_of(args.repeat, lambda: compression.sort_vcf_lines(lines, engine))
    with open(result, "rb") as ours, open(bgzf_path, "rb") as reference:
        identical = ours.read() == reference.read()
    del lines, records
    print(f"write_bgzf alone on the sorted file:  {t_bgzf:8.2f} s")
    print(f"sort engine alone ({engine}) on the records: {t_engine:8.2f} s")
    print(f"{args.job} job:                        {t_job:8.2f} s   {t_job / (t_bgzf + t_engine):.3f}x "
          f"write_bgzf + engine (target <= 1.1x); output identical to write_bgzf's: {identical}")

    base = peak_kib(JOB_CHILD, "none", output, "", "", "", "")
    own = peak_kib(JOB_CHILD, args.job, output, paths["sv"], paths["cnv"], paths["repeats"], paths["roh"])
    print(f"peak RSS of a process that only imports the package: {base / 1024:7.1f} MiB")
    print(f"peak RSS of a process running the job: {own / 1024:7.1f} MiB = {own * 1024 / unified_bytes:.2f}x the "
          f"unified file (target <= 2.5x); {(own - base) * 1024 / unified_bytes:.2f}x without the interpreter")
    for path in (result, bgzf_path, sorted_path):
        os.remove(path)


if __name__ == "__main__":
    main()
