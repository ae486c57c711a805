#!/usr/bin/env python3
"""Unify the bundled example inputs of each pipeline with the merivane command.

Inputs are copied to examples/out/<pipeline>/ first, and every output lands
there: the sorted, bgzipped VCF with its tabix index and, for PacBio, the
catalog-filtered repeat VCF. The command prints the finished file's path (and
the index's), which is read back here.
"""
import gzip
import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
OUT = HERE / "out"


def stage(pipeline):
    target = OUT / pipeline
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(HERE / pipeline, target)
    return target


def merivane(*arguments):
    command = shutil.which("merivane") or str(Path(sys.executable).parent / "merivane")
    printed = subprocess.run([command, *map(str, arguments), "--index", "tbi"], check=True,
                             stdout=subprocess.PIPE, text=True).stdout
    return printed.splitlines()[0]


def summarise(pipeline, compressed):
    with gzip.open(compressed, "rt", encoding="utf-8") as text:
        records = [line for line in text if not line.startswith("#")]
    print(f"{pipeline}: {len(records)} records in {compressed}")
    for line in records:
        cells = line.split("\t")
        svtype = next((f for f in cells[7].split(";") if f.startswith("SVTYPE=")), "")
        print(f"    {cells[0]}:{cells[1]}\t{cells[2]}\t{svtype}")


def main():
    dragen = stage("dragen")
    summarise("DRAGEN", merivane("dragen", "-o", dragen / "NA12878.unified.vcf",
                                 "-s", dragen / "NA12878.sv.vcf", "-c", dragen / "NA12878.cnv.vcf",
                                 "-r", dragen / "NA12878.repeats.vcf", "-d", dragen / "NA12878.roh.bed"))

    ont = stage("ont")
    summarise("ONT", merivane("ont", "-o", ont / "HG002.unified.vcf", "-s", ont / "HG002.sv.vcf",
                              "-c", ont / "HG002.cnv.vcf", "-r", ont / "HG002.repeats.vcf"))

    # The bundled disease-locus catalog and leaving out InvBreakpoint records
    # are the pacbio subcommand's defaults.
    pacbio = stage("pacbio")
    summarise("PacBio", merivane("pacbio", "-o", pacbio / "HG003.unified.vcf", "-s", pacbio / "HG003.sv.vcf",
                                 "-r", pacbio / "HG003.trgt.vcf"))
    print(f"PacBio repeats restricted to the disease-locus catalog: {pacbio / 'HG003.trgt_filtered.vcf'}")


if __name__ == "__main__":
    main()
