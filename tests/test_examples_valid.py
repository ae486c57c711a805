"""The bundled examples and what merivane makes of them, judged by the strict
consumers: vcftools' vcf-validator and htsjdk (through Picard)."""
import shutil
import subprocess
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from Merivane import cli

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
INPUTS = sorted(EXAMPLES.glob("*/*.vcf"))
PIPELINES = ["dragen", "ont", "pacbio"]
# The one remark vcf-validator makes on every file without a ##reference line;
# the DRAGEN SV example is unsorted on purpose (the order of inputs is free).
HARMLESS = ("The header tag 'reference' not present", "Warning: The file is not sorted")


def unified(staged, pipeline, order):
    """What `merivane <pipeline> --sort <order>` writes for the example."""
    d = staged / pipeline
    argv = [pipeline, "-q", "-o", str(d / f"{order}.vcf"), "--sort", order]
    if pipeline == "dragen":
        argv += ["-s", d / "NA12878.sv.vcf", "-c", d / "NA12878.cnv.vcf", "-r", d / "NA12878.repeats.vcf",
                 "-d", d / "NA12878.roh.bed"]
    elif pipeline == "ont":
        argv += ["-s", d / "HG002.sv.vcf", "-c", d / "HG002.cnv.vcf", "-r", d / "HG002.repeats.vcf"]
    else:
        argv += ["-s", d / "HG003.sv.vcf", "-r", d / "HG003.trgt.vcf"]
    assert cli._main([str(a) for a in argv]) == 0
    return f"{d / order}.vcf.gz"


@pytest.fixture(scope="module")
def outputs(tmp_path_factory):
    staged = tmp_path_factory.mktemp("examples")
    for pipeline in PIPELINES:
        shutil.copytree(EXAMPLES / pipeline, staged / pipeline)
    return {(pipeline, order): unified(staged, pipeline, order) for pipeline in PIPELINES
            for order in ("text", "contig")}


@pytest.mark.skipif(not shutil.which("vcf-validator"), reason="vcftools is not installed")
def test_vcf_validator_finds_nothing_wrong(outputs):
    # It exits 0 whatever it finds: what it prints is the verdict.
    for path in [*INPUTS, *outputs.values()]:
        checked = subprocess.run(["vcf-validator", str(path)], capture_output=True, text=True)
        remarks = [line for line in (checked.stdout + checked.stderr).splitlines()
                   if line.strip() and not line.startswith(HARMLESS)]
        assert (checked.returncode, remarks) == (0, []), path


def picard(tool, vcf, target):
    return subprocess.run(["PicardCommandLine", tool, "-I", str(vcf), "-O", str(target),
                           "--VALIDATION_STRINGENCY", "STRICT"], capture_output=True, text=True)


@pytest.mark.skipif(not shutil.which("PicardCommandLine"), reason="picard-tools is not installed")
def test_htsjdk_reads_every_output_and_takes_contig_order_as_sorted(outputs, tmp_path):
    # MergeVcfs refuses records out of the header's contig order; SortVcf
    # reads any order. One JVM per output, two at a time.
    runs = [(key, "MergeVcfs" if key[1] == "contig" else "SortVcf", path) for key, path in outputs.items()]
    with ThreadPoolExecutor(2) as pool:
        results = pool.map(lambda run: picard(run[1], run[2], tmp_path / f"{run[0][0]}-{run[0][1]}.vcf"), runs)
        for (key, tool, _), result in zip(runs, results):
            assert result.returncode == 0, (key, tool, result.stderr[-2000:])

