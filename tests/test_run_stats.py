"""Run statistics (stats=), the sample's name and extra header lines, as Python callers and htslib see them."""
import gzip
import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import Merivane
from Merivane import cli, unifier
from Merivane.repeats import default_repeat_catalog_path
from real_data import REAL_DATA, needs_real_data

REPO = Path(__file__).resolve().parents[1]
EXAMPLES = REPO / "examples"
jsonschema = pytest.importorskip("jsonschema")


def documented_schema():
    """The statistics schema as the README documents it: the JSON block of its run statistics section."""
    section = (REPO / "README.md").read_text(encoding="utf-8").split("### Run statistics", 1)[1]
    return json.loads(re.search(r"```json\n(.*?)```", section, re.S).group(1))


def check(document):
    jsonschema.validate(document, documented_schema())
    for kind, counts in document["inputs"].items():
        assert counts["read"] == counts["kept"] + sum(counts["left_out"].values()), kind
    output = document["output"]
    assert sum(c["kept"] for c in document["inputs"].values()) == output["records"]
    assert sum(output["by_svtype"].values()) + output["without_svtype"] == output["records"]
    assert sum(output["by_chromosome"].values()) == output["records"]
    if output["path"]:
        assert output["bytes"] == Path(output["path"]).stat().st_size
        with gzip.open(output["path"], "rt") as text:
            assert sum(1 for line in text if not line.startswith("#") and line.strip()) == output["records"]


def example_run(name, out, **keywords):
    if name == "dragen":
        e = EXAMPLES / "dragen"
        return cli.dragen_unify(str(out), str(e / "NA12878.sv.vcf"), str(e / "NA12878.cnv.vcf"),
                                str(e / "NA12878.repeats.vcf"), str(e / "NA12878.roh.bed"), **keywords)
    if name == "ont":
        e = EXAMPLES / "ont"
        return cli.ont_unify(str(out), str(e / "HG002.sv.vcf"), str(e / "HG002.cnv.vcf"),
                             str(e / "HG002.repeats.vcf"), **keywords)
    e = EXAMPLES / "pacbio"
    return cli.pacbio_filter_and_unify(str(out), str(e / "HG003.sv.vcf"), None, str(e / "HG003.trgt.vcf"),
                                       default_repeat_catalog_path(), ["InvBreakpoint"],
                                       filtered_repeat_path=str(out) + ".repeats.vcf", **keywords)


@pytest.mark.parametrize("name", ["dragen", "ont", "pacbio"])
def test_statistics_of_the_examples_add_up_and_leave_the_output_as_it_was(tmp_path, name):
    plain = example_run(name, tmp_path / "plain.vcf")
    stats = {"left over": 1}
    counted = example_run(name, tmp_path / "counted.vcf", stats=stats)
    assert Path(counted).read_bytes() == Path(plain).read_bytes()
    check(stats)
    assert stats["version"] == Merivane.__version__
    assert stats["output"]["path"] == counted
    if name == "pacbio":
        repeats = stats["inputs"]["repeats"]
        assert repeats["filtered_path"] == str(tmp_path / "counted.vcf") + ".repeats.vcf"
        assert repeats["left_out"]["outside_catalog"] > 0
        assert stats["inputs"]["sv"]["left_out"]["filter"] > 0


@needs_real_data
@pytest.mark.parametrize("sv, repeats", [
    ("illumina/manta-1.6.0.COLO829BL-germline.diploidSV.subset.vcf", "repeats/expansionhunter.NA12878.chr21.vcf.gz"),
    ("ont/sniffles2-2.0.6.HG002-HiFi.chr1-subset.sv.vcf", None),
    ("pacbio/pbsv-2.8.0.HG002.chr1-subset.sv.vcf", "repeats/trgt-0.7.0.HG002-Revio.disease-loci.vcf.gz"),
])
def test_statistics_of_real_caller_files_add_up(tmp_path, sv, repeats):
    stats = {}
    unifier.run(str(tmp_path / "u.vcf"), str(REAL_DATA / sv), repeat_path=repeats and str(REAL_DATA / repeats),
                drop_sv_filters=["InvBreakpoint", "MaxDepth"], stats=stats)
    check(stats)
    assert stats["output"]["records"] > 0


def test_nothing_to_unify_still_counts_the_inputs(tmp_path):
    header_only = tmp_path / "cnv.vcf"
    header_only.write_text("##x\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS\n")
    stats = {}
    assert cli._unify({"cnv": str(header_only)}, str(tmp_path / "u.vcf"), unifier.UnifyOptions(), stats=stats) is None
    check(stats)
    assert stats["inputs"]["cnv"]["input_left_out"] and stats["output"]["path"] is None


@pytest.mark.parametrize("keywords, error", [
    ({"stats": []}, TypeError),
    ({"sample": 5}, TypeError),
    ({"sample": "a\tb"}, ValueError),
    ({"header_lines": "##a"}, TypeError),
    ({"header_lines": ["#a"]}, ValueError),
])
def test_bad_header_and_stats_keywords_are_refused_before_anything_is_written(tmp_path, keywords, error):
    with pytest.raises(error):
        example_run("dragen", tmp_path / "u.vcf", **keywords)
    assert list(tmp_path.iterdir()) == []


def test_a_replaced_step_cannot_give_statistics(tmp_path, monkeypatch):
    monkeypatch.setattr(unifier, "sort_and_compress", lambda path, **keywords: path)
    with pytest.raises(ValueError, match="stats need the package's own"):
        unifier.run(str(tmp_path / "u.vcf"), str(EXAMPLES / "ont" / "HG002.sv.vcf"), stats={})


@pytest.mark.skipif(shutil.which("bcftools") is None, reason="bcftools is not installed")
def test_renamed_samples_are_what_bcftools_reads_and_merges(tmp_path):
    outputs = []
    for name, sample in [("dragen", "NA12878"), ("ont", "HG002")]:
        output = example_run(name, tmp_path / f"{name}.vcf", sample=sample, index="tbi", merge_headers=True,
                             header_lines=[f"##source_pipeline={name}"])
        query = subprocess.run(["bcftools", "query", "-l", output], capture_output=True, text=True, check=True)
        assert query.stdout == sample + "\n"
        outputs.append(output)
    merged = subprocess.run(["bcftools", "merge", *outputs], capture_output=True, text=True)
    assert merged.returncode == 0, merged.stderr
    assert re.search(r"^#CHROM.*\tNA12878\tHG002$", merged.stdout, re.M)
    assert "##source_pipeline=dragen" in merged.stdout


def merivane(*arguments, cwd):
    return subprocess.run([sys.executable, "-m", "Merivane", *arguments], cwd=cwd, capture_output=True, text=True)


def header_of(path):
    with gzip.open(path, "rt") as text:
        return [line for line in text if line.startswith("#")]


def test_the_command_records_what_made_the_file_unless_told_not_to(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # the statistics name the output as the command was given it
    sv = str(EXAMPLES / "ont" / "HG002.sv.vcf")
    first = merivane("ont", "-o", "a.vcf", "-s", sv, "--sample", "HG002", "--stats", "a.json", cwd=tmp_path)
    assert first.returncode == 0, first.stderr
    header = header_of(tmp_path / "a.vcf.gz")
    assert header[-3] == f"##merivaneVersion={Merivane.__version__}\n"
    assert re.fullmatch(r"##merivaneCommand=merivane ont -o a\.vcf -s \S+ --sample HG002 --stats a\.json; "
                        r"Date=\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}\n", header[-2])
    assert header[-1].endswith("\tFORMAT\tHG002\n")
    document = json.loads((tmp_path / "a.json").read_text())
    check(document)
    assert document["command"].startswith("merivane ont -o a.vcf")

    for name in ("b", "c"):
        run = merivane("ont", "-o", f"{name}.vcf", "-s", sv, "--no-version", cwd=tmp_path)
        assert run.returncode == 0, run.stderr
        assert not any(line.startswith("##merivane") for line in header_of(tmp_path / f"{name}.vcf.gz"))
    assert (tmp_path / "b.vcf.gz").read_bytes() == (tmp_path / "c.vcf.gz").read_bytes()


def test_the_command_refuses_a_sample_name_for_several_columns_before_writing(tmp_path):
    two = tmp_path / "two.vcf"
    two.write_text("##x\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tA\tB\n"
                   "chr1\t1\t.\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL\tGT\t0/1\t0/1\n")
    run = merivane("dragen", "-o", "o.vcf", "-s", str(two), "--sample", "X", "--stats", "o.json", cwd=tmp_path)
    assert run.returncode == 1
    assert "exactly one sample column" in run.stderr and "two.vcf" in run.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["two.vcf"]
