"""Inputs and arguments the merivane command refuses in one line, before it
writes anything, and the ones it records as they came."""
import json
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from Merivane import cli, repeats

SCRIPTS = Path(sysconfig.get_path("scripts"))
MERIVANE = str(SCRIPTS / "merivane")
EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
SITES_ONLY = "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n"


def run(arguments, cwd, command=MERIVANE):
    return subprocess.run([command, *map(str, arguments)], cwd=cwd, capture_output=True, text=True)


def the_error(result):
    assert result.returncode == 1, result.stderr
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("merivane: error: "), result.stderr
    return lines[0]


def catalog(tmp_path, text):
    path = tmp_path / "bad.bed"
    path.write_text(text)
    return ["-b", path]


def two_sample_cnv(tmp_path):
    path = tmp_path / "cnv.vcf"
    path.write_text("##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tA\tB\n"
                    "chr1\t100\t.\tN\t<DEL>\t.\tPASS\tSVTYPE=CNV;END=900\tGT\t0/1\t0/0\n")
    return ["-c", path]


def sites_only_cnv(tmp_path):
    path = tmp_path / "cnv.vcf"
    path.write_text(SITES_ONLY + "chr1\t100\t.\tN\t<DEL>\t.\tPASS\tSVTYPE=CNV;END=900\n")
    return ["-c", path]


# name: (subcommand and inputs beyond -o, given the run folder; a piece of the error line)
REFUSED = {
    "missing repeat VCF": (lambda d: ["pacbio", "-r", "nope.vcf"], "nope.vcf: No such file or directory"),
    "missing catalog": (lambda d: ["pacbio", "-r", EXAMPLES / "pacbio" / "HG003.trgt.vcf", "-b", "nope.bed"],
                        "nope.bed: No such file or directory"),
    "catalog line without an end": (
        lambda d: ["pacbio", "-r", EXAMPLES / "pacbio" / "HG003.trgt.vcf", *catalog(d, "chr1\t1\t9\nchr1\tabc\n")],
        "bad.bed, line 2: 'chr1\\tabc' is no BED interval"),
    "catalog line ending before it starts": (
        lambda d: ["pacbio", "-r", EXAMPLES / "pacbio" / "HG003.trgt.vcf", *catalog(d, "# x\nchr1\t100\t50\n")],
        "bad.bed, line 2: 'chr1\\t100\\t50'"),
    "catalog split by blanks": (
        lambda d: ["pacbio", "-r", EXAMPLES / "pacbio" / "HG003.trgt.vcf", *catalog(d, "chr1 100 200\n")],
        "bad.bed, line 1: 'chr1 100 200'"),
    "second sample": (lambda d: ["dragen", "-s", EXAMPLES / "dragen" / "NA12878.sv.vcf", *two_sample_cnv(d)],
                      "The cnv input has sample columns ['A', 'B'] but the header, from the sv input, has ['NA12878']"),
    "second sample under the donor's header": (
        lambda d: ["dragen", "-s", EXAMPLES / "dragen" / "NA12878.sv.vcf", *two_sample_cnv(d), "--donor-header",
                   "--no-version"],
        "The cnv input has sample columns ['A', 'B'] but the header, from the sv input, has ['NA12878']"),
    "sites-only CNV after SV": (lambda d: ["dragen", "-s", EXAMPLES / "dragen" / "NA12878.sv.vcf",
                                           *sites_only_cnv(d)], "The cnv input is a sites-only VCF"),
    "sites-only CNV alone": (lambda d: ["dragen", *sites_only_cnv(d)], "The cnv input is a sites-only VCF"),
    "blank sample name": (lambda d: ["dragen", "-s", EXAMPLES / "dragen" / "NA12878.sv.vcf", "--sample", " "],
                          "The sample name ' ' cannot name a VCF column"),
    "control characters as sample name": (
        lambda d: ["dragen", "-s", EXAMPLES / "dragen" / "NA12878.sv.vcf", "--sample", "\x0b\x0c"],
        "The sample name '\\x0b\\x0c' cannot name a VCF column"),
    "filtered repeats naming the output": (
        lambda d: ["pacbio", "-r", EXAMPLES / "pacbio" / "HG003.trgt.vcf", "--filtered-repeats", "o.vcf.gz"],
        "The filtered repeat VCF 'o.vcf.gz' would replace the output file 'o.vcf.gz'; choose another "
        "--filtered-repeats"),
}


@pytest.mark.parametrize("case", REFUSED)
def test_a_refused_input_ends_in_one_line_and_writes_nothing(tmp_path, case):
    arguments, piece = REFUSED[case]
    given = arguments(tmp_path)
    before = sorted(tmp_path.iterdir())
    result = run([given[0], "-o", "o.vcf", *given[1:]], tmp_path)
    assert piece in the_error(result)
    assert sorted(tmp_path.iterdir()) == before


def test_the_installed_pacbio_command_keeps_a_missing_repeat_vcf_a_warning(tmp_path):
    sv = shutil.copy(EXAMPLES / "pacbio" / "HG003.sv.vcf", tmp_path / "sv.vcf")
    result = run(["-o", "o.vcf", "-s", sv, "-r", "nope.vcf", "-b", repeats.default_repeat_catalog_path()], tmp_path,
                 str(SCRIPTS / "merivane-pacbio"))
    assert result.returncode == 0, result.stderr
    assert "merivane: nope.vcf file doesn't exist" in result.stderr.splitlines()


@pytest.mark.parametrize("keywords", [dict(sample=" "), dict(sample="a\x00b"), dict(header_lines=["##a\x00b"])])
def test_a_door_refuses_header_texts_tools_cannot_read_before_writing(tmp_path, keywords):
    sv = shutil.copy(EXAMPLES / "dragen" / "NA12878.sv.vcf", tmp_path / "sv.vcf")
    with pytest.raises(ValueError, match="cannot name a VCF column|without its line break or a NUL"):
        cli.dragen_unify(str(tmp_path / "o.vcf"), sv, **keywords)
    assert [p.name for p in tmp_path.iterdir()] == ["sv.vcf"]


@pytest.mark.skipif(sys.platform == "win32", reason="file names are UTF-16 there")
def test_an_argument_in_other_bytes_is_recorded_escaped(tmp_path):
    odd = os.fsdecode(b"x\xff.vcf")
    shutil.copy(EXAMPLES / "dragen" / "NA12878.cnv.vcf", tmp_path / odd)
    sv = shutil.copy(EXAMPLES / "dragen" / "NA12878.sv.vcf", tmp_path / "sv.vcf")
    result = subprocess.run([MERIVANE, "dragen", "-o", "o.vcf", "-s", sv, "-c", odd, "--stats", "st.json"],
                            cwd=tmp_path, capture_output=True)
    # (The CNV example holds one copy-neutral record, without SVTYPE.)
    assert (result.returncode, result.stderr) == (0, b"merivane: Records of o.vcf without SVTYPE: 1\n")
    header = subprocess.run(["gzip", "-dc", tmp_path / "o.vcf.gz"], capture_output=True, check=True).stdout
    command = [line for line in header.splitlines() if line.startswith(b"##merivaneCommand=")]
    assert len(command) == 1 and b" -c 'x\\xff.vcf' " in command[0]
    statistics = json.loads((tmp_path / "st.json").read_bytes().decode("utf-8"))
    assert statistics["inputs"]["cnv"]["path"] == "x\\xff.vcf"
    assert "x\\xff.vcf" in statistics["command"]


@pytest.mark.skipif(sys.platform == "win32", reason="arguments are UTF-16 there")
def test_a_sample_name_in_other_bytes_names_the_option(tmp_path):
    result = subprocess.run([MERIVANE, "dragen", "-o", "o.vcf", "--sample", os.fsdecode(b"\xff")], cwd=tmp_path,
                            capture_output=True, text=True, errors="backslashreplace")
    assert result.returncode == 2
    assert "argument --sample: '\\xff' is not UTF-8 text" in result.stderr
    assert list(tmp_path.iterdir()) == []
