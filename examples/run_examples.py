#!/usr/bin/env python3
"""Unify the bundled example inputs of each pipeline.

DRAGEN and Oxford Nanopore run through their command lines, PacBio through
the Python front door (so its inversion breakpoint records can be left out).
Inputs are copied to examples/out/<pipeline>/ first, and every output lands
there: the sorted, bgzipped VCF and, for PacBio, the catalog-filtered repeat
VCF.
"""
import gzip
import logging
import shutil
import subprocess
import sys
from pathlib import Path

from Merivane.cli import pacbio_filter_and_unify
from Merivane.repeats import default_repeat_catalog_path

HERE = Path(__file__).resolve().parent
OUT = HERE / "out"


def stage(pipeline):
    target = OUT / pipeline
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(HERE / pipeline, target)
    return target


def summarise(pipeline, compressed):
    with gzip.open(compressed, "rt", encoding="utf-8") as text:
        records = [line for line in text if not line.startswith("#")]
    print(f"{pipeline}: {len(records)} records in {compressed}")
    for line in records:
        cells = line.split("\t")
        svtype = next((f for f in cells[7].split(";") if f.startswith("SVTYPE=")), "")
        print(f"    {cells[0]}:{cells[1]}\t{cells[2]}\t{svtype}")


def main():
    logging.basicConfig(level=logging.INFO, format="    %(levelname)s %(message)s")
    scripts = Path(sys.executable).parent

    def script(name):
        return shutil.which(name) or str(scripts / name)

    dragen = stage("dragen")
    subprocess.run([script("merivane-dragen"), "-o", dragen / "NA12878.unified.vcf",
                    "-s", dragen / "NA12878.sv.vcf", "-c", dragen / "NA12878.cnv.vcf",
                    "-r", dragen / "NA12878.repeats.vcf", "-d", dragen / "NA12878.roh.bed"], check=True)
    summarise("DRAGEN", dragen / "NA12878.unified.vcf.gz")

    ont = stage("ont")
    subprocess.run([script("merivane-ont"), "-o", ont / "HG002.unified.vcf",
                    "-s", ont / "HG002.sv.vcf", "-c", ont / "HG002.cnv.vcf",
                    "-r", ont / "HG002.repeats.vcf"], check=True)
    summarise("ONT", ont / "HG002.unified.vcf.gz")

    pacbio = stage("pacbio")
    compressed = pacbio_filter_and_unify(
        str(pacbio / "HG003.unified.vcf"), sv_path=str(pacbio / "HG003.sv.vcf"),
        full_repeat_path=str(pacbio / "HG003.trgt.vcf"),
        repeat_bed_file_path=default_repeat_catalog_path(), drop_sv_filters=["InvBreakpoint"])
    summarise("PacBio", compressed)
    print(f"PacBio repeats restricted to the disease-locus catalog: {pacbio / 'HG003.trgt_filtered.vcf'}")


if __name__ == "__main__":
    main()
