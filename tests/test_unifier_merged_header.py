"""The merged header end to end: what htslib-based tools make of the unified files.

Each pipeline's door unifies its bundled example, and again with the real caller
output of its platform as the SV input; bcftools, tabix and pysam then read them.
"""
import gzip
import shutil
import subprocess
from pathlib import Path

import pytest

from Merivane import cli, repeats
from real_data import REAL_DATA

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"

pytestmark = pytest.mark.skipif(not (shutil.which("tabix") and shutil.which("bcftools")),
                                reason="tabix and bcftools are not installed")

# pipeline -> (door, example inputs by door keyword, the real SV output of its platform)
PIPELINES = {
    "dragen": (cli.dragen_unify,
               {"sv_path": "NA12878.sv.vcf", "cnv_path": "NA12878.cnv.vcf",
                "repeat_path": "NA12878.repeats.vcf", "roh_bed_path": "NA12878.roh.bed"},
               "illumina/manta-1.6.0.COLO829BL-germline.diploidSV.subset.vcf"),
    "ont": (cli.ont_unify,
            {"sv_path": "HG002.sv.vcf", "cnv_path": "HG002.cnv.vcf", "repeat_path": "HG002.repeats.vcf"},
            "ont/sniffles2-2.0.6.HG002-HiFi.chr1-subset.sv.vcf"),
    "pacbio": (cli.pacbio_filter_and_unify,
               {"sv_path": "HG003.sv.vcf", "full_repeat_path": "HG003.trgt.vcf"},
               "pacbio/pbsv-2.8.0.HG002.chr1-subset.sv.vcf"),
}
CASES = [(pipeline, False) for pipeline in PIPELINES] + [
    pytest.param(pipeline, True, marks=pytest.mark.skipif(not REAL_DATA.is_dir(), reason="no real sample files"))
    for pipeline in PIPELINES]


def unified(tmp_path, pipeline, real_sv):
    """The door's indexed output with merge_headers=True."""
    door, inputs, real = PIPELINES[pipeline]
    staged = tmp_path / (("real-" if real_sv else "") + pipeline)
    shutil.copytree(EXAMPLES / pipeline, staged)
    paths = {keyword: str(staged / name) for keyword, name in inputs.items()}
    if real_sv:
        paths["sv_path"] = str(REAL_DATA / real)
    extra = {}
    if pipeline == "pacbio":
        extra = {"repeat_bed_file_path": repeats.default_repeat_catalog_path(), "drop_sv_filters": ["InvBreakpoint"]}
    result = door(str(staged / "out.vcf"), **paths, **extra, merge_headers=True)
    subprocess.run(["tabix", "-p", "vcf", result], check=True)
    return result


def bcftools(*args):
    return subprocess.run(["bcftools", *args], capture_output=True, text=True)


def record_count(compressed):
    with gzip.open(compressed, "rt", encoding="utf-8") as text:
        return sum(1 for line in text if not line.startswith("#"))


@pytest.mark.parametrize("pipeline, real_sv", CASES)
def test_bcftools_writes_bcf_without_a_warning(tmp_path, pipeline, real_sv):
    result = unified(tmp_path, pipeline, real_sv)
    bcf = tmp_path / "out.bcf"
    written = bcftools("view", "-Ob", "-o", str(bcf), result)
    assert (written.returncode, written.stderr) == (0, "")
    shown = bcftools("view", "-H", str(bcf))
    assert shown.stderr == ""
    assert len(shown.stdout.splitlines()) == record_count(result)


@pytest.mark.skipif(not REAL_DATA.is_dir(), reason="no real sample files")
@pytest.mark.parametrize("pipeline", PIPELINES)
def test_bcftools_merges_two_samples(tmp_path, pipeline):
    # Records of the two samples are kept apart (-m none): merging calls is
    # not the point, reading both headers into one is.
    example, real = unified(tmp_path, pipeline, False), unified(tmp_path, pipeline, True)
    merged = bcftools("merge", "-m", "none", "--force-samples", "-o", str(tmp_path / "both.vcf"), example, real)
    assert (merged.returncode, merged.stderr) == (0, "")
    assert merged.stdout == ""
    shown = bcftools("query", "-l", str(tmp_path / "both.vcf"))
    assert len(shown.stdout.split()) == 2


def test_roh_score_filters_as_a_number(tmp_path):
    result = unified(tmp_path, "dragen", False)
    # The example's scores are 58.314, 101.200 and 12.750, compared as numbers.
    kept = bcftools("view", "-H", "-i", "INFO/ROH_SCORE>50", result)
    assert kept.stderr == ""
    assert [line.split("\t")[:2] for line in kept.stdout.splitlines()] == [["chr1", "2500001"], ["chr14", "60100001"]]


def test_pysam_reads_roh_score_as_a_float_and_writes_bcf(tmp_path):
    pysam = pytest.importorskip("pysam")
    result = unified(tmp_path, "dragen", False)
    with pysam.VariantFile(result) as vcf:
        records = list(vcf)
        scores = sorted(r.info["ROH_SCORE"] for r in records if r.alts == ("<ROH>",))
        with pysam.VariantFile(str(tmp_path / "out.bcf"), "wb", header=vcf.header) as bcf:
            for record in records:
                bcf.write(record)
    assert scores == pytest.approx([12.75, 58.314, 101.2])
    with pysam.VariantFile(str(tmp_path / "out.bcf")) as bcf:
        assert sum(1 for _ in bcf) == len(records)


UNDECLARED_CNV = (
    "##fileformat=VCFv4.2\n##contig=<ID=chr1>\n"
    "##INFO=<ID=SVTYPE,Number=1,Type=String,Description=\"t\">\n"
    "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"g\">\n"
    "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\n"
    "chr1\t100\tc1\tN\t<DEL>\t.\tcnvQual\tSVTYPE=CNV;SVLEN=-500;END=599;IMPRECISE\tGT:SM\t0/1:0.5\n")


@pytest.mark.parametrize("repeat", [None, "repeats/expansionhunter.NA12878.chr21.vcf.gz",
                                    "repeats/trgt-0.7.0.HG002-Revio.disease-loci.vcf.gz"])
def test_bcf_takes_tags_the_inputs_never_declared(tmp_path, caplog, repeat):
    if repeat and not (REAL_DATA / repeat).is_file():
        pytest.skip("no real repeat files")
    cnv = tmp_path / "cnv.vcf"
    cnv.write_text(UNDECLARED_CNV)
    result = cli.dragen_unify(str(tmp_path / "out.vcf"), cnv_path=str(cnv),
                              repeat_path=str(REAL_DATA / repeat) if repeat else None, merge_headers=True)
    written = bcftools("view", "-Ob", "-o", str(tmp_path / "out.bcf"), result)
    assert (written.returncode, written.stderr) == (0, "")
    warned = [r.getMessage() for r in caplog.records if "declared by no header" in r.getMessage()]
    assert "Header tag INFO/SVLEN is used by records of the cnv input" in warned[1]
    # The real repeat files declare all they use.
    assert len(warned) == 4
