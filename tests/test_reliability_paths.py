"""Hostile file names reach the external engines intact (argument lists,
never a shell), and the temporary files are the process's own."""
import gzip
import os
import pathlib
import shutil
import sys

import pytest

from Merivane import cli, compression, repeats
from reliability_helpers import CATALOG_TEXT, REPEAT_TEXT, SORT_BANNER, SV_TEXT, fake_tool, names_in

HOSTILE = {
    "spaces": "with  two spaces",
    "quotes": "it's \"quoted\"",
    "semicolon": "a;b && touch INJECTED",
    "leading_dash": "-o-leading-dash",
    "non_ascii": "ünïcødé-名前-Ωμέγα",
    "substitution": "$(touch INJECTED)`touch INJECTED`",
    "glob": "glob*?[ab]",
    "tab": "tab\there",
}
if os.name == "posix" and sys.platform != "darwin":
    # Legal on Linux; the host hands such a name over with surrogate escapes.
    HOSTILE["not_utf8"] = os.fsdecode(b"not-utf8-\xff\xfe")

needs_bedtools = pytest.mark.skipif(not repeats.bedtools_available(), reason="bedtools is not installed")
needs_gnu_sort = pytest.mark.skipif(not compression.gnu_sort_available(), reason="GNU sort is not installed")


@pytest.fixture(params=HOSTILE.values(), ids=HOSTILE.keys())
def hostile(request, tmp_path, monkeypatch):
    """A run directory and a temporary directory, both with the hostile name,
    entered so that relative names (a leading dash) are used as they are."""
    name = request.param
    run = tmp_path / name
    run.mkdir()
    temp = tmp_path / f"tmp {name}"
    temp.mkdir()
    monkeypatch.setenv("TMPDIR", str(temp))
    monkeypatch.chdir(run)
    yield name, run, temp
    # No shell ever ran: nothing was created by the names themselves.
    assert not list(tmp_path.rglob("INJECTED"))
    assert names_in(temp) == []


def gunzip_text(path):
    with gzip.open(path, "rt", encoding="utf-8", newline="") as stream:
        return stream.read()


@needs_bedtools
def test_bedtools_engine_takes_hostile_names_intact(hostile):
    name, run, _ = hostile
    vcf, bed = f"{name}.vcf", f"{name}.bed"
    pathlib.Path(vcf).write_text(REPEAT_TEXT)
    pathlib.Path(bed).write_text(CATALOG_TEXT)
    by_bedtools = repeats.filter_repeats_vcf(vcf, bed, repeats.BEDTOOLS, f"{name} bedtools.vcf")
    by_builtin = repeats.filter_repeats_vcf(vcf, bed, repeats.BUILTIN, f"{name} builtin.vcf")
    assert by_bedtools == f"{name} bedtools.vcf"
    kept = pathlib.Path(by_builtin).read_text()
    assert 0 < kept.count("\n") < REPEAT_TEXT.count("\n")
    assert pathlib.Path(by_bedtools).read_text() == kept
    assert names_in(run) == sorted([vcf, bed, f"{name} bedtools.vcf", f"{name} builtin.vcf"])


@needs_bedtools
def test_default_filtered_name_beside_a_hostile_input(hostile):
    name, run, _ = hostile
    vcf = run / f"{name}.vcf.gz"
    vcf.write_bytes(gzip.compress(REPEAT_TEXT.encode()))
    (run / "loci.bed").write_text(CATALOG_TEXT)
    out = repeats.filter_repeats_vcf(str(vcf), str(run / "loci.bed"), repeats.BEDTOOLS)
    assert out == str(run / f"{name}_filtered.vcf")
    assert pathlib.Path(out).read_text().startswith("##fileformat")


@needs_gnu_sort
def test_gnu_sort_engine_with_hostile_names(hostile):
    name, run, _ = hostile
    for engine in (compression.GNU_SORT, compression.PYTHON_SORT):
        pathlib.Path(f"{name}.vcf").write_text(SV_TEXT)
        compression.sort_and_compress(f"{name}.vcf", f"{name} {engine}.vcf.gz", engine=engine)
    assert gunzip_text(f"{name} gnu_sort.vcf.gz") == gunzip_text(f"{name} python_sort.vcf.gz")
    assert names_in(run) == sorted([f"{name} gnu_sort.vcf.gz", f"{name} python_sort.vcf.gz"])


def test_front_door_with_hostile_names(hostile):
    name, run, _ = hostile
    pathlib.Path(f"{name} sv.vcf").write_text(SV_TEXT)
    result = cli.dragen_unify(f"{name}.vcf", sv_path=f"{name} sv.vcf")
    assert result == f"{name}.vcf.gz"
    text = gunzip_text(result)
    assert text.count("\n") == SV_TEXT.count("\n")
    assert names_in(run) == sorted([f"{name} sv.vcf", f"{name}.vcf.gz"])


@needs_gnu_sort
def test_sort_temporaries_are_owner_only_and_passed_as_streams(tmp_path, monkeypatch):
    """A `sort` that records how it was called, then runs the real one."""
    temp = tmp_path / "tmp dir ü"
    temp.mkdir()
    monkeypatch.setenv("TMPDIR", str(temp))
    real_sort = shutil.which("sort")
    record = tmp_path / "calls"
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    fake_tool(
        bin_dir,
        "sort",
        SORT_BANNER
        + f'printf "%s\\n" "$@" > "{record}.argv"\n'
        # Looked at before any redirection of the script's own: its standard
        # input is the records file, its output a pipe read as it is written.
        + 'modes=$(stat -L -c "%a" /proc/$$/fd/0 /proc/$$/fd/1)\n'
        + 'names=$(readlink /proc/$$/fd/0 /proc/$$/fd/1)\n'
        + f'printf "%s\\n" "$modes" > "{record}.modes"\n'
        + f'printf "%s\\n" "$names" > "{record}.names"\n'
        + f'exec "{real_sort}" "$@"\n',
    )
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    vcf = tmp_path / "in.vcf"
    vcf.write_text(SV_TEXT)
    previous = os.umask(0)
    try:
        compression.sort_and_compress(str(vcf), engine=compression.GNU_SORT)
    finally:
        os.umask(previous)
    # Paths travel as redirected streams, never as arguments.
    assert (tmp_path / "calls.argv").read_text().split("\n")[:-1] == ["-k1,1", "-k2,2n"]
    assert (tmp_path / "calls.modes").read_text().split("\n")[0] == "600"
    records, output = (tmp_path / "calls.names").read_text().split("\n")[:-1]
    # Nameless from the start, so a killed run leaves nothing behind; the
    # sorted lines never touch the disk.
    assert os.path.dirname(records) == str(temp) and records.endswith(" (deleted)")
    assert output.startswith("pipe:")
    assert names_in(temp) == []
