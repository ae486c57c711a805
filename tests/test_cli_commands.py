"""The three command lines: parsing, help, errors, and the door each calls."""
import logging
import shutil
import signal
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import Merivane
from Merivane import cli

SCRIPTS = Path(sysconfig.get_path("scripts"))
EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


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


def test_entry_point_configures_no_logging(tmp_path):
    # Called as a function with no logging set up by the host, the entry point
    # leaves the root logger's defaults alone: warnings only, as level:root:text.
    code = "from Merivane import cli; cli.dragen_from_cli(['-o', 'out.vcf'])"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0
    assert 'WARNING:root:Can\'t unify file type "sv". The file does not exist.' in result.stderr
    assert "WARNING:root:Empty/no vcf files to concatenate" in result.stderr
    assert "INFO" not in result.stderr
    assert (tmp_path / "out.vcf").read_text() == ""
    assert result.stdout == ""


def test_console_script_shows_messages_as_merivane(tmp_path):
    result = subprocess.run([str(SCRIPTS / "merivane-dragen"), "-o", "out.vcf"], capture_output=True, text=True,
                            cwd=tmp_path)
    assert result.returncode == 0
    assert 'merivane: Can\'t unify file type "sv". The file does not exist.' in result.stderr
    assert "merivane: Empty/no vcf files to concatenate" in result.stderr
    assert "root" not in result.stderr
    assert result.stdout == ""


def test_console_script_names_the_finished_file(tmp_path):
    sv = tmp_path / "sv.vcf"
    shutil.copy(EXAMPLES / "dragen" / "NA12878.sv.vcf", sv)
    result = subprocess.run([str(SCRIPTS / "merivane-dragen"), "-o", "out.vcf", "-s", "sv.vcf"],
                            capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "merivane: Wrote sorted, bgzipped VCF to out.vcf.gz" in result.stderr.splitlines()
    assert (tmp_path / "out.vcf.gz").exists()


@pytest.mark.parametrize("script", ["merivane-dragen", "merivane-ont", "merivane-pacbio"])
def test_console_script_version(script):
    result = subprocess.run([str(SCRIPTS / script), "--version"], capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (0, f"{script} {Merivane.__version__}\n")


def raise_(exception):
    def entry(argv=None):
        raise exception
    return entry


def with_note(exception, note):
    exception.__notes__ = [*getattr(exception, "__notes__", []), note]  # as add_note leaves it (3.11+)
    return exception


@pytest.mark.parametrize(
    "exception, line",
    [
        (FileNotFoundError(2, "No such file or directory", "in/sv.vcf"),
         "merivane: error: in/sv.vcf: No such file or directory"),
        (with_note(ValueError("invalid literal for int() with base 10: 'abc'"), "in the roh input, line 3"),
         "merivane: error: invalid literal for int() with base 10: 'abc' (in the roh input, line 3)"),
        (RuntimeError("first\nsecond"), "merivane: error: first second"),
        # What the file is leads; the decoder's byte and position stay out.
        (with_note(with_note(UnicodeDecodeError("utf-8", b"\x8b", 0, 1, "invalid start byte"),
                             "while reading r.bam, line 1"), "r.bam holds binary data"),
         "merivane: error: r.bam holds binary data (while reading r.bam, line 1)"),
        (with_note(UnicodeDecodeError("utf-8", b"\xe9", 0, 1, "invalid continuation byte"),
                   "while reading x.vcf, line 7"),
         "merivane: error: not UTF-8 text (while reading x.vcf, line 7)"),
        (MemoryError(), "merivane: error: out of memory"),
        (subprocess.CalledProcessError(2, ["sort", "x"]),
         "merivane: error: Command '['sort', 'x']' returned non-zero exit status 2."),
    ],
)
def test_installed_command_turns_an_error_into_one_line(monkeypatch, capsys, exception, line):
    monkeypatch.setattr(cli, "pacbio_from_cli", raise_(exception))
    assert cli._pacbio_command(["-o", "x"]) == 1
    captured = capsys.readouterr()
    assert captured.err == line + "\n"
    assert captured.out == ""


def test_installed_command_interrupted_exits_130(monkeypatch, capsys):
    monkeypatch.setattr(cli, "ont_from_cli", raise_(KeyboardInterrupt()))
    assert cli._ont_command([]) == 130
    assert capsys.readouterr().err == "merivane: interrupted\n"


def test_installed_command_passes_argv_and_restores_logging(monkeypatch, capsys):
    seen = []

    def entry(argv=None):
        seen.append(argv)
        logging.info("Wrote sorted, bgzipped VCF to %s", "x.vcf.gz")

    monkeypatch.setattr(cli, "dragen_from_cli", entry)
    root = logging.getLogger()
    handlers, level, on_interrupt = list(root.handlers), root.level, signal.getsignal(signal.SIGINT)
    assert cli._dragen_command(["-o", "x.vcf"]) == 0
    assert seen == [["-o", "x.vcf"]]
    assert capsys.readouterr().err == "merivane: Wrote sorted, bgzipped VCF to x.vcf.gz\n"
    assert (root.handlers, root.level, signal.getsignal(signal.SIGINT)) == (handlers, level, on_interrupt)


def test_add_common_arguments_adds_the_three_shared_options():
    import argparse

    parser = argparse.ArgumentParser()
    assert cli._add_common_arguments(parser) is None
    args = parser.parse_args(["-o", "o", "-s", "s"])
    assert (args.outputPath, args.svPath, args.cnvPath) == ("o", "s", None)
    with pytest.raises(SystemExit):
        parser.parse_args([])
