"""The Snakemake workflow: one merivane job per sample of a sheet."""
import gzip
import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
SNAKEFILE = REPO / "workflow" / "Snakefile"
EXAMPLES_SHEET = REPO / "workflow" / "samples.tsv"
SAMPLES = {"NA12878": "dragen", "HG002": "ont", "HG003": "pacbio"}


def snakemake_command():
    if importlib.util.find_spec("snakemake") is not None:
        return [sys.executable, "-m", "snakemake"]
    if shutil.which("snakemake"):
        return [shutil.which("snakemake")]
    pytest.skip("snakemake is not installed")


def snakemake(tmp_path, *config, extra=()):
    """Runs the workflow in tmp_path with the merivane command of this interpreter's environment."""
    scripts = Path(sys.executable).parent
    env = dict(os.environ, PATH=os.pathsep.join([str(scripts), os.environ.get("PATH", "")]))
    if not (scripts / "merivane").exists():
        config = (*config, f"merivane={sys.executable} -m Merivane")
    command = [*snakemake_command(), "-s", str(SNAKEFILE), "--directory", str(tmp_path), "--cores", "2",
               *extra, "--config", *config]
    return subprocess.run(command, env=env, capture_output=True, text=True)


def records(path):
    with gzip.open(path, "rt", encoding="utf-8") as text:
        return [line for line in text if not line.startswith("#")]


@pytest.mark.skipif(shutil.which("tabix") is None, reason="tabix is not installed")
def test_examples_unify_once_per_sample_and_a_second_run_does_nothing(tmp_path):
    out = tmp_path / "results"
    first = snakemake(tmp_path, f"samples={EXAMPLES_SHEET}", f"outdir={out}")
    assert first.returncode == 0, first.stderr
    outputs = sorted(p.name for p in out.iterdir() if p.is_file())
    assert outputs == sorted([f"{s}.vcf.gz" for s in SAMPLES] + [f"{s}.vcf.gz.tbi" for s in SAMPLES]
                             + ["HG003.repeats.filtered.vcf"])
    for sample in SAMPLES:
        compressed = out / f"{sample}.vcf.gz"
        expected = records(compressed)
        assert expected, sample
        # The index answers a query for each chromosome with that chromosome's records.
        for chromosome in sorted({line.split("\t")[0] for line in expected}):
            answer = subprocess.run(["tabix", str(compressed), chromosome], capture_output=True, text=True,
                                    check=True).stdout
            assert answer.splitlines(keepends=True) == [line for line in expected
                                                        if line.split("\t")[0] == chromosome], (sample, chromosome)

    stamps = {p: p.stat().st_mtime_ns for p in out.iterdir()}
    second = snakemake(tmp_path, f"samples={EXAMPLES_SHEET}", f"outdir={out}")
    assert second.returncode == 0, second.stderr
    assert "Nothing to be done" in second.stdout + second.stderr
    assert {p: p.stat().st_mtime_ns for p in out.iterdir()} == stamps


@pytest.mark.parametrize("row, message", [
    ("S1\tnanopore\tsv.vcf\t\t", "pipeline must be dragen, ont or pacbio, not 'nanopore'"),
    ("S1\tont\tsv.vcf\t\troh.bed", "a ont sample takes no roh column"),
    ("S1\tdragen\t\t\t", "has none of sv, cnv, repeats"),
    ("bad/name\tdragen\tsv.vcf\t\t", "sample name 'bad/name'"),
    ("S0\tont\tsv.vcf\t\t", "sample 'S0' appears twice"),
])
def test_a_bad_sheet_stops_the_run_naming_its_line(tmp_path, row, message):
    sheet = tmp_path / "samples.tsv"
    sheet.write_text("sample\tpipeline\tsv\tcnv\troh\n" "S0\tdragen\tsv.vcf\t\t\n" + row + "\n")
    (tmp_path / "sv.vcf").write_text("#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\nchr1\t1\t.\tN\t<DEL>\t.\tPASS\t.\n")
    result = snakemake(tmp_path, f"samples={sheet}", "outdir=out", extra=["-n"])
    assert result.returncode != 0
    assert f"{sheet}, line 3: " in result.stdout + result.stderr
    assert message in result.stdout + result.stderr

