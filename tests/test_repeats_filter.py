"""filter_repeats_vcf and its two engines, from Python."""
import gzip
import logging
import os
import subprocess
import sysconfig
from pathlib import Path

import pytest

from Merivane import cli, repeats
from real_data import REAL_DATA, needs_real_data
from repeats_helpers import CATALOG, ENCODINGS, HEADER, KEPT, VCF_TEXT, records_of

needs_bedtools = pytest.mark.skipif(not repeats.bedtools_available(), reason="bedtools is not installed")


@pytest.fixture
def run_dir(tmp_path):
    """A directory whose name has a space, as a user's may."""
    path = tmp_path / "run 1"
    path.mkdir()
    (path / "catalog.bed").write_text(CATALOG, encoding="utf-8")
    return path


def write_vcf(directory, name, encoding, text=VCF_TEXT):
    path = directory / name
    path.write_bytes(ENCODINGS[encoding](text))
    return str(path)


def messages(caplog, level):
    return [(r.msg, r.args) for r in caplog.records if r.levelno == level and r.name == "root"]


@pytest.mark.parametrize("encoding", sorted(ENCODINGS))
@pytest.mark.parametrize("engine", [pytest.param(repeats.BEDTOOLS, marks=needs_bedtools), repeats.BUILTIN])
def test_engines_keep_the_catalog_records_once_in_order(run_dir, encoding, engine):
    vcf = write_vcf(run_dir, "sample.trgt.sorted.vcf.gz", encoding)
    result = repeats.filter_repeats_vcf(vcf, str(run_dir / "catalog.bed"), engine)
    assert result == str(run_dir / "sample.trgt.sorted_filtered.vcf")
    assert records_of(result) == KEPT
    with open(result, encoding="utf-8") as handle:
        assert handle.read().startswith(HEADER)


def test_builtin_engine_copies_late_headers_and_counts(run_dir, root_records):
    in_two = KEPT[1]
    text = (HEADER + "chr9\t5\t.\tA\t.\t.\t.\t.\n" + "##late header\r\n" + "\n" + " \t \n"
            + "chr1\t160\t.\tA\t.\t.\tPASS\n" + "chr1\tx\t.\tA\t.\t.\t.\t.\n" + in_two + in_two.rstrip("\n"))
    vcf = write_vcf(run_dir, "sample.vcf", "gzip", text)
    bed = str(run_dir / "catalog.bed")
    out = str(run_dir / "out.vcf")
    assert repeats.filter_repeats_vcf(vcf, bed, "BEDTOOLS", out) == out
    with open(out, encoding="utf-8", newline="") as handle:
        assert handle.read() == HEADER + "##late header\n" + in_two + in_two.rstrip("\n")
    assert messages(root_records, logging.INFO) == [
        ("Filtering %s against %s with the %s engine", (vcf, bed, "BEDTOOLS")),
        ("Repeat records kept: %d, outside the catalog: %d", (2, 3)),
    ]


@pytest.mark.parametrize("args, make, message, logged", [
    ((), (), "Can't filter repeats file \"%s\". The file does not exist", None),
    (("in.vcf",), ("in.vcf",), "Can't filter repeats file with \"%s\". The bed file does not exist", None),
    (("in.vcf", "c.bed"), ("in.vcf",), "%s doesn't exist", "c.bed"),
    (("in.vcf", "c.bed"), ("c.bed",), "%s file doesn't exist", "in.vcf"),
    (("in.vcf", "c.bed"), (), "%s file doesn't exist", "in.vcf"),
])
def test_missing_inputs_warn_and_write_nothing(tmp_path, root_records, args, make, message, logged):
    for name in make:
        (tmp_path / name).write_text(HEADER, encoding="utf-8")
    paths = [str(tmp_path / name) for name in args]
    before = sorted(os.listdir(tmp_path))
    assert repeats.filter_repeats_vcf(*paths, output_path=str(tmp_path / "out.vcf")) is None
    assert sorted(os.listdir(tmp_path)) == before
    expected_arg = None if logged is None else str(tmp_path / logged)
    assert messages(root_records, logging.WARNING) == [(message, (expected_arg,))]
    assert messages(root_records, logging.INFO) == []


def test_without_bedtools_on_path(run_dir, tmp_path, monkeypatch, root_records):
    empty_bin = tmp_path / "bin"
    empty_bin.mkdir()
    monkeypatch.setenv("PATH", str(empty_bin))
    vcf = write_vcf(run_dir, "sample.vcf.gz", "bgzf")
    bed = str(run_dir / "catalog.bed")
    assert repeats.bedtools_available() is False

    with pytest.raises(RuntimeError, match="^bedtools was requested to filter the repeats VCF but is not on PATH$"):
        repeats.filter_repeats_vcf(vcf, bed, repeats.BEDTOOLS)
    assert not os.path.exists(run_dir / "sample_filtered.vcf")

    result = repeats.filter_repeats_vcf(vcf, bed)
    assert records_of(result) == KEPT
    assert messages(root_records, logging.INFO)[0][1] == (vcf, bed, "builtin")


@needs_bedtools
def test_bedtools_failure_raises_with_its_command(run_dir):
    vcf = write_vcf(run_dir, "bad.vcf", "plain", HEADER + "chr1\t100\t.\tA\n")
    bed = str(run_dir / "catalog.bed")
    out = str(run_dir / "out.vcf")
    with pytest.raises(subprocess.CalledProcessError) as caught:
        repeats.filter_repeats_vcf(vcf, bed, engine=repeats.BEDTOOLS, output_path=out)
    assert caught.value.cmd == ["bedtools", "intersect", "-u", "-a", vcf, "-b", bed, "-header"]
    assert caught.value.returncode != 0
    assert not os.path.exists(out)


@pytest.mark.parametrize("output", ["same", "respelled", "catalog", "link"])
@pytest.mark.parametrize("engine", [repeats.BUILTIN, pytest.param(repeats.BEDTOOLS, marks=needs_bedtools)])
def test_an_output_naming_an_input_is_refused(run_dir, output, engine):
    vcf = write_vcf(run_dir, "sample.vcf", "plain")
    bed = str(run_dir / "catalog.bed")
    os.symlink(vcf, run_dir / "link.vcf")
    target = {"same": vcf, "respelled": str(run_dir / "." / ".." / "run 1" / "sample.vcf"),
              "catalog": bed, "link": str(run_dir / "link.vcf")}[output]
    with pytest.raises(ValueError):
        repeats.filter_repeats_vcf(vcf, bed, engine, target)
    with open(vcf, encoding="utf-8") as handle:
        assert handle.read() == VCF_TEXT
    with open(bed, encoding="utf-8") as handle:
        assert handle.read() == CATALOG


@pytest.mark.parametrize("path, expected", [
    ("sample.trgt.sorted.vcf.gz", "sample.trgt.sorted_filtered.vcf"),
    ("run/sample.vcf", "run/sample_filtered.vcf"),
    ("run/sample.txt", "run/sample_filtered.vcf"),
    ("sample", "sample_filtered.vcf"),
    ("sample.VCF.gz", "sample_filtered.vcf"),
])
def test_filtered_repeat_path(path, expected):
    assert repeats._filtered_repeat_path(full_repeat_path=path) == expected


@pytest.mark.parametrize("output_path", [None, ""])
def test_default_output_is_beside_the_input(run_dir, output_path):
    vcf = write_vcf(run_dir, "sample.txt", "gzip")
    result = repeats.filter_repeats_vcf(vcf, str(run_dir / "catalog.bed"), repeats.BUILTIN, output_path)
    assert result == str(run_dir / "sample_filtered.vcf")
    assert records_of(result) == KEPT


@pytest.mark.parametrize("available, engine, expected", [
    (False, None, "_intersect_in_python"),
    (True, None, "_intersect_with_bedtools"),
    (True, "builtin", "_intersect_in_python"),
])
def test_patched_steps_are_the_ones_called(run_dir, monkeypatch, available, engine, expected):
    calls = []
    monkeypatch.setattr(repeats, "bedtools_available", lambda: available)
    for name in ("_intersect_in_python", "_intersect_with_bedtools"):
        monkeypatch.setattr(repeats, name, lambda *args, name=name: calls.append((name, args)))
    monkeypatch.setattr(repeats, "_filtered_repeat_path", lambda path: path + ".kept")
    vcf = write_vcf(run_dir, "sample.vcf", "plain")
    bed = str(run_dir / "catalog.bed")
    assert repeats.filter_repeats_vcf(vcf, bed, engine) == vcf + ".kept"
    assert calls == [(expected, (vcf, bed, vcf + ".kept"))]


def test_patched_availability_decides_a_forced_bedtools(run_dir, monkeypatch):
    monkeypatch.setattr(repeats, "bedtools_available", lambda: 0)
    vcf = write_vcf(run_dir, "sample.vcf", "plain")
    with pytest.raises(RuntimeError):
        repeats.filter_repeats_vcf(vcf, str(run_dir / "catalog.bed"), repeats.BEDTOOLS)


def bad_checksum(data):
    """The gzip member with its CRC-32 trailer spoilt."""
    return data[:-8] + bytes(b ^ 0xFF for b in data[-8:-4]) + data[-4:]


ENGINES = [pytest.param(repeats.BEDTOOLS, marks=needs_bedtools), repeats.BUILTIN]


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("data, error", [
    (gzip.compress(VCF_TEXT.encode() * 2000)[:-50], EOFError),
    (bad_checksum(gzip.compress(VCF_TEXT.encode() * 2000)), gzip.BadGzipFile),
    (gzip.compress(VCF_TEXT.encode() + b"chr1\t160\t\xff\tA\t.\t.\t.\t.\n"), UnicodeDecodeError),
    (VCF_TEXT.encode("utf-16"), UnicodeDecodeError),
], ids=["truncated", "corrupt", "gzip_not_utf8", "plain_not_utf8"])
def test_damaged_input_raises_instead_of_a_shorter_output(run_dir, root_records, data, error, engine):
    vcf = run_dir / "sample.vcf.gz"
    vcf.write_bytes(data)
    with pytest.raises(error) as raised:
        repeats.filter_repeats_vcf(str(vcf), str(run_dir / "catalog.bed"), engine)
    # The input is named, never bedtools.
    assert str(vcf) in "\n".join(getattr(raised.value, "__notes__", []))
    assert [m for m, _ in messages(root_records, logging.INFO)] == ["Filtering %s against %s with the %s engine"]
    assert sorted(os.listdir(run_dir)) == ["catalog.bed", "sample.vcf.gz"]


MERIVANE = str(Path(sysconfig.get_path("scripts")) / "merivane")
EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "pacbio"


@pytest.mark.parametrize("how", ["/dev/stdin", "process substitution", "fifo"])
def test_a_repeat_input_that_is_not_a_file_is_read_once(tmp_path, how):
    trgt = EXAMPLE / "HG003.trgt.vcf"
    repeat = {"/dev/stdin": "/dev/stdin", "process substitution": f"<(cat '{trgt}')", "fifo": "r.fifo"}[how]
    feed = {"/dev/stdin": f"cat '{trgt}' | ", "fifo": f"mkfifo r.fifo; cat '{trgt}' > r.fifo & "}.get(how, "")
    script = (f"{feed}'{MERIVANE}' pacbio -o s.vcf -s '{EXAMPLE / 'HG003.sv.vcf'}' -r {repeat} "
              "--filtered-repeats f.vcf")
    done = subprocess.run(["bash", "-c", script], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    kept = records_of(tmp_path / "f.vcf")
    expected = repeats.filter_repeats_vcf(str(trgt), repeats.default_repeat_catalog_path(), repeats.BUILTIN,
                                          str(tmp_path / "expected.vcf"))
    assert kept == records_of(expected) and len(kept) == 5


def grch37_named(source, target):
    """A copy of a repeat VCF with GRCh37's chromosome names ("1", not "chr1")."""
    opener = gzip.open if str(source).endswith(".gz") else open
    with opener(source, "rt", encoding="utf-8") as handle:
        text = "".join(line if line.startswith("#") else line[3:] for line in handle)
    target.write_text(text, encoding="utf-8")
    return str(target)


def filter_alone(vcf, out, **keywords):
    return repeats.filter_repeats_vcf(vcf, repeats.default_repeat_catalog_path(), None, str(out / "f.vcf"),
                                      **keywords)


def filter_and_unify(vcf, out, **keywords):
    return cli.pacbio_filter_and_unify(str(out / "o.vcf"), str(EXAMPLE / "HG003.sv.vcf"), None, vcf,
                                       repeats.default_repeat_catalog_path(),
                                       filtered_repeat_path=str(out / "f.vcf"), **keywords)


@pytest.mark.parametrize("door", [filter_alone, filter_and_unify])
def test_a_grch37_repeat_vcf_against_the_hg38_catalog_is_loud(tmp_path, root_records, door):
    vcf = grch37_named(EXAMPLE / "HG003.trgt.vcf", tmp_path / "HG003.b37.trgt.vcf")
    out = tmp_path / "out"
    out.mkdir()
    with pytest.raises(ValueError, match="^No repeat call lies on the catalog's chromosomes: .*GRCh37 against hg38"):
        door(vcf, out, require_catalog_chromosomes=True)
    assert os.listdir(out) == []

    door(vcf, out)
    warned = [m % a for m, a in messages(root_records, logging.WARNING) if m.startswith("No repeat call")]
    assert len(warned) == 1
    assert "'1', '4', '9'" in warned[0] and "'chr1'" in warned[0] and "bundled hg38 catalog" in warned[0]
    assert records_of(out / "f.vcf") == []


@needs_real_data
@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("name, grch37, kept", [
    ("trgt-0.7.0.HG002-Revio.disease-loci.vcf.gz", False, 9),
    ("trgt-0.7.0.HG002-Revio.disease-loci.vcf.gz", True, 0),
    # On a chromosome of the catalog, though none at its loci: quiet.
    ("expansionhunter.NA12878.chr21.vcf.gz", False, 0),
    ("expansionhunter.NA12878.chr21.vcf.gz", True, 0),
])
def test_real_repeat_calls_against_the_bundled_catalog(tmp_path, root_records, engine, name, grch37, kept):
    vcf = str(REAL_DATA / "repeats" / name)
    if grch37:
        vcf = grch37_named(vcf, tmp_path / "b37.vcf")
    out = repeats.filter_repeats_vcf(vcf, repeats.default_repeat_catalog_path(), engine, str(tmp_path / "f.vcf"))
    assert len(records_of(out)) == kept
    warned = [m for m, _ in messages(root_records, logging.WARNING)]
    assert warned.count("No repeat call of %s lies on a chromosome of the catalog %s: the VCF names chromosomes "
                        "%s, the catalog %s%s; every repeat call is left out") == (1 if grch37 else 0)
    assert not any("\t" in m % a for m, a in messages(root_records, logging.WARNING)), "a record was dumped"
