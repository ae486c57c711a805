"""The three command lines: parsing, help, errors, and the door each calls."""
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from Merivane import cli

SCRIPTS = Path(sysconfig.get_path("scripts"))


def capture_door(monkeypatch, door):
    calls = []
    monkeypatch.setattr(cli, door, lambda **kwargs: calls.append(kwargs) or "ignored.gz")
    return calls


@pytest.mark.parametrize(
    "entry, door, argv, expected",
    [
        ("dragen_from_cli", "dragen_unify", ["-o", "out.vcf"],
         dict(output_path="out.vcf", sv_path=None, cnv_path=None, repeat_path=None, roh_bed_path=None)),
        ("dragen_from_cli", "dragen_unify",
         ["--roh", "r.bed", "-r", "rep.vcf", "-c", "c.vcf", "-s", "s.vcf", "--outputPath", "o.vcf"],
         dict(output_path="o.vcf", sv_path="s.vcf", cnv_path="c.vcf", repeat_path="rep.vcf", roh_bed_path="r.bed")),
        ("ont_from_cli", "ont_unify", ["-o", "o.vcf", "-r", "rep.vcf"],
         dict(output_path="o.vcf", sv_path=None, cnv_path=None, repeat_path="rep.vcf", modify_repeats=None)),
        ("ont_from_cli", "ont_unify", ["-o", "o.vcf", "-modify"],
         dict(output_path="o.vcf", sv_path=None, cnv_path=None, repeat_path=None, modify_repeats=True)),
        ("pacbio_from_cli", "pacbio_filter_and_unify", ["-o", "o.vcf", "-r", "full.vcf"],
         dict(output_path="o.vcf", sv_path=None, cnv_path=None, full_repeat_path="full.vcf",
              repeat_bed_file_path=None)),
        ("pacbio_from_cli", "pacbio_filter_and_unify",
         ["-o", "o.vcf", "-b", "cat.bed", "--fullRepeatPath", "full.vcf", "-s", "s.vcf"],
         dict(output_path="o.vcf", sv_path="s.vcf", cnv_path=None, full_repeat_path="full.vcf",
              repeat_bed_file_path="cat.bed")),
        # The last of a repeated option wins; a unique prefix is accepted.
        ("dragen_from_cli", "dragen_unify", ["-o", "first.vcf", "--outputP", "second.vcf"],
         dict(output_path="second.vcf", sv_path=None, cnv_path=None, repeat_path=None, roh_bed_path=None)),
    ],
)
def test_entry_point_calls_its_door_by_keyword(monkeypatch, entry, door, argv, expected):
    calls = capture_door(monkeypatch, door)
    assert getattr(cli, entry)(argv) is None
    assert calls == [expected]


def test_explicit_argv_ignores_process_arguments(monkeypatch):
    calls = capture_door(monkeypatch, "dragen_unify")
    monkeypatch.setattr(sys, "argv", ["prog", "--bogus"])
    cli.dragen_from_cli(["-o", "x.vcf"])
    assert calls[0]["output_path"] == "x.vcf"


def test_no_argv_parses_the_process_arguments(monkeypatch):
    calls = capture_door(monkeypatch, "ont_unify")
    monkeypatch.setattr(sys, "argv", ["merivane-ont", "-o", "y.vcf", "-modify"])
    cli.ont_from_cli()
    assert calls == [dict(output_path="y.vcf", sv_path=None, cnv_path=None, repeat_path=None, modify_repeats=True)]


@pytest.mark.parametrize(
    "entry, door, argv",
    [
        ("pacbio_from_cli", "pacbio_filter_and_unify", []),
        ("pacbio_from_cli", "pacbio_filter_and_unify", ["-s", "sv.vcf"]),
        ("ont_from_cli", "ont_unify", ["-o"]),
        ("ont_from_cli", "ont_unify", ["-o", "x", "-modify", "yes"]),
        ("dragen_from_cli", "dragen_unify", ["-o", "x", "--nonsense"]),
        ("dragen_from_cli", "dragen_unify", ["--r", "a", "-o", "x"]),  # --repeatPath or --roh
    ],
)
def test_parse_errors_exit_2_without_calling_the_door(monkeypatch, capsys, entry, door, argv):
    calls = capture_door(monkeypatch, door)
    with pytest.raises(SystemExit) as exit_info:
        getattr(cli, entry)(argv)
    assert exit_info.value.code == 2
    assert calls == []
    assert "usage:" in capsys.readouterr().err


@pytest.mark.parametrize(
    "script, description, help_texts",
    [
        ("merivane-dragen", "Unify DRAGEN structural vcf files",
         ["the unified output VCF path (required)", "ROH bed file (optional)", "-r REPEATPATH, --repeatPath REPEATPATH"]),
        ("merivane-ont", "Unify Oxford Nanopore structural vcf files",
         ["SV input file path (optional)", "-modify", "force ;SVTYPE=REP onto every repeat call."]),
        ("merivane-pacbio", "Filter PacBio repeats file with pre-defined bed file and unify structural vcf files",
         ["Full repeats input file path (optional)", "Repeats filtering bed file path (optional)",
          "-o OUTPUTPATH, --outputPath OUTPUTPATH"]),
    ],
)
def test_console_script_help(script, description, help_texts):
    result = subprocess.run([str(SCRIPTS / script), "--help"], capture_output=True, text=True)
    assert result.returncode == 0
    flattened = " ".join(result.stdout.split())
    assert description in flattened
    for text in help_texts:
        assert " ".join(text.split()) in flattened
    assert result.stdout.index("-h, --help") < result.stdout.index("--outputPath")


@pytest.mark.parametrize("script", ["merivane-dragen", "merivane-ont", "merivane-pacbio"])
def test_console_script_without_output_path(script, tmp_path):
    result = subprocess.run([str(SCRIPTS / script)], capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 2
    assert "the following arguments are required: -o/--outputPath" in result.stderr
    assert list(tmp_path.iterdir()) == []


def test_console_script_with_output_only_warns_and_succeeds(tmp_path):
    result = subprocess.run([str(SCRIPTS / "merivane-dragen"), "-o", "out.vcf"], capture_output=True, text=True,
                            cwd=tmp_path)
    assert result.returncode == 0
    assert 'WARNING:root:Can\'t unify file type "sv". The file does not exist.' in result.stderr
    assert "WARNING:root:Empty/no vcf files to concatenate" in result.stderr
    assert (tmp_path / "out.vcf").read_text() == ""
    assert result.stdout == ""


def test_add_common_arguments_adds_the_three_shared_options():
    import argparse

    parser = argparse.ArgumentParser()
    assert cli._add_common_arguments(parser) is None
    args = parser.parse_args(["-o", "o", "-s", "s"])
    assert (args.outputPath, args.svPath, args.cnvPath) == ("o", "s", None)
    with pytest.raises(SystemExit):
        parser.parse_args([])
