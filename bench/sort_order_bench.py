#!/usr/bin/env python3
"""Contig order against the default text order on a million-record set.

    sort_order_bench.py [--records N] [--work DIR] [--repeat R]

Inputs come from the shared generator (`make_inputs.py`) and are kept under
DIR. Each job is `Merivane.unifier.run` on the four plain inputs with the
merged header (so every chromosome has its contig line), once with
sort_order="text" and once with "contig", for each sort engine: GNU sort
when installed (the default) and the in-memory engine (GNU sort hidden from
the PATH). Target: contig order within 5 % of the text order. Timings are
wall-clock, the best of R runs, on an otherwise idle machine.
"""
import argparse
import gzip
import os

from bench_support import best_of, default_work, make_inputs
from Merivane import compression, unifier


def chromosomes(path):
    """The chromosomes of a compressed output in the order they come."""
    seen = []
    with gzip.open(path, "rt", encoding="utf-8") as text:
        for line in text:
            if not line.startswith("#"):
                name = line.split("\t", 1)[0]
                if not seen or seen[-1] != name:
                    seen.append(name)
    return seen


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--records", type=int, default=1_000_000)
    ap.add_argument("--work", default=default_work("merivane-sort-order-bench"))
    ap.add_argument("--repeat", type=int, default=1, help="runs per timing; the best counts")
    args = ap.parse_args()
    paths = make_inputs(os.path.join(args.work, "inputs"), args.records)
    engines = [("in-memory", False)] + [("GNU sort", True)] * compression.gnu_sort_available()
    path_before = os.environ.get("PATH", "")
    for engine, gnu in engines:
        os.environ["PATH"] = path_before if gnu else ""
        times = {}
        for order in ("text", "contig"):
            output = os.path.join(args.work, f"{order}.vcf")
            times[order], result = best_of(args.repeat, lambda: unifier.run(
                output, paths["sv"], paths["cnv"], paths["repeats"], paths["roh"], merge_headers=True,
                sort_order=order))
            print(f"{engine:9} sort_order={order!r:9} {times[order]:7.2f} s  chromosomes: "
                  f"{' '.join(chromosomes(result)[:5])} ...")
        print(f"{engine:9} contig / text: {times['contig'] / times['text']:.3f}x (target <= 1.05x)")
    os.environ["PATH"] = path_before


if __name__ == "__main__":
    main()
