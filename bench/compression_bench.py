#!/usr/bin/env python3
"""Speed and memory of Merivane.compression on 1.5 million records.

    compression_bench.py [--work DIR] [--records N] [--repeat R]

The input is the SV file's header and records plus the repeat file's records
from `make_inputs.py DIR --records N` (1.5 N records), generated under DIR
(default: merivane-compression-bench in the temporary directory) unless already there. Prints:

- the in-memory engine against the GNU sort engine, both through
  sort_vcf_lines (target: in-memory at least 3x faster);
- write_bgzf against zlib alone deflating the same 65280-byte chunks at
  level 9 with a raw stream (target: within 5 %);
- sort_and_compress against write_bgzf alone on the sorted file plus the
  engine it chose alone on the records (target: at most 1.1x);
- the peak resident memory of a process running sort_and_compress against
  the file's size (target: at most 2.5x); GNU sort's own memory is that of
  its own process and not counted.
"""
import os
import shutil
import zlib

from bench_support import bench_inputs, bench_parser, best_of, peak_kib
from Merivane import compression


def prepare(args):
    inputs = os.path.dirname(bench_inputs(args)["sv"])
    combined = os.path.join(args.work, "combined.vcf")
    if not os.path.exists(combined):
        with open(combined, "w", encoding="utf-8", newline="") as out:
            with open(os.path.join(inputs, "sv.vcf"), encoding="utf-8", newline="") as sv:
                shutil.copyfileobj(sv, out)
            with open(os.path.join(inputs, "repeats.vcf"), encoding="utf-8", newline="") as repeats:
                out.writelines(line for line in repeats if not line.startswith("#"))
    return combined


def zlib_chunks(path):
    with open(path, "rb") as source:
        chunks = []
        while chunk := source.read(compression._UNCOMPRESSED_BLOCK_SIZE):
            chunks.append(chunk)
    return chunks


def deflate_all(chunks):
    for chunk in chunks:
        compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
        compressor.compress(chunk)
        compressor.flush()


PEAK_CHILD = """
import sys
from Merivane import compression
if sys.argv[1] != "-":
    compression.sort_and_compress(sys.argv[1], sys.argv[2], True, sys.argv[3])
"""


def engines(args, lines):
    """The in-memory engine against the GNU sort engine, both through
    sort_vcf_lines; returns the sorted lines."""
    t_memory, sorted_lines = best_of(args.repeat, lambda: compression.sort_vcf_lines(lines, compression.PYTHON_SORT))
    print(f"sort_vcf_lines, in-memory engine: {t_memory:8.2f} s")
    if compression.gnu_sort_available():
        t_gnu, gnu_lines = best_of(args.repeat, lambda: compression.sort_vcf_lines(lines, compression.GNU_SORT))
        print(f"sort_vcf_lines, GNU sort engine:  {t_gnu:8.2f} s   in-memory is {t_gnu / t_memory:.1f}x faster "
              f"(target >= 3x); outputs identical: {gnu_lines == sorted_lines}")
    else:
        print("sort_vcf_lines, GNU sort engine:  not installed")
    return t_memory, sorted_lines


def peaks(combined, out_path, size):
    """Peak memory, each in a fresh process."""
    base = peak_kib(PEAK_CHILD, "-")
    print(f"peak RSS of a process that only imports the module: {base / 1024:7.1f} MiB")
    for name in [compression.PYTHON_SORT] + [compression.GNU_SORT] * compression.gnu_sort_available():
        own = peak_kib(PEAK_CHILD, combined, out_path, name)
        print(f"peak RSS running sort_and_compress ({name}): {own / 1024:7.1f} MiB = {own * 1024 / size:.2f}x "
              f"the file (target <= 2.5x); {(own - base) * 1024 / size:.2f}x without the interpreter")


def main():
    args = bench_parser(__doc__, "merivane-compression-bench").parse_args()
    combined = prepare(args)
    size = os.path.getsize(combined)
    with open(combined, encoding="utf-8", newline="") as f:
        lines = f.readlines()
    records = compression.split_header(lines)[1]
    print(f"input: {len(records):,} records, {size / 2**20:.1f} MiB ({combined})")
    t_memory, sorted_lines = engines(args, lines)
    sorted_path = os.path.join(args.work, "sorted.vcf")
    with open(sorted_path, "w", encoding="utf-8", newline="") as out:
        out.writelines(sorted_lines)
    del sorted_lines

    # BGZF writer against zlib alone.
    chunks = zlib_chunks(sorted_path)
    t_zlib, _ = best_of(args.repeat, lambda: deflate_all(chunks))
    del chunks
    bgzf_path = os.path.join(args.work, "sorted.vcf.gz")
    t_bgzf, _ = best_of(args.repeat, lambda: compression.write_bgzf(sorted_path, bgzf_path))
    print(f"zlib level 9, raw, 65280-byte chunks: {t_zlib:8.2f} s")
    print(f"write_bgzf on the sorted file:        {t_bgzf:8.2f} s   {100 * (t_bgzf / t_zlib - 1):+.1f} % "
          f"(target within 5 %); {os.path.getsize(bgzf_path) / 2**20:.1f} MiB")

    # sort_and_compress against the two costs it cannot avoid.
    have_gnu = compression.gnu_sort_available()
    engine = compression.GNU_SORT if have_gnu else compression.PYTHON_SORT
    t_engine = best_of(args.repeat, lambda: compression._sort_records_with_gnu_sort(records))[0] if have_gnu \
        else t_memory
    del lines, records
    out_path = os.path.join(args.work, "combined.vcf.gz")
    t_all, _ = best_of(args.repeat, lambda: compression.sort_and_compress(combined, out_path, True))
    with open(out_path, "rb") as ours, open(bgzf_path, "rb") as reference:
        identical = ours.read() == reference.read()
    print(f"engine alone ({engine}) on the records: {t_engine:8.2f} s")
    print(f"sort_and_compress (default engine):     {t_all:8.2f} s   {t_all / (t_bgzf + t_engine):.3f}x "
          f"write_bgzf + engine (target <= 1.1x); output identical to write_bgzf's: {identical}")
    peaks(combined, out_path, size)
    os.remove(out_path)


if __name__ == "__main__":
    main()
