"""The pipeline front doors end to end, checked with tabix and bcftools."""
import gzip
import logging
import shutil
import subprocess
from pathlib import Path

import pytest

from Merivane import cli, compression, repeats, unifier
from real_data import REAL_DATA, REAL_SV_SAMPLES, needs_real_data

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
CATALOG = repeats.default_repeat_catalog_path()

needs_htslib = pytest.mark.skipif(not (shutil.which("tabix") and shutil.which("bcftools")),
                                  reason="tabix and bcftools are not installed")


@pytest.fixture
def staged(tmp_path):
    """A copy of one pipeline's example inputs in a fresh directory."""
    def stage(pipeline):
        target = tmp_path / pipeline
        shutil.copytree(EXAMPLES / pipeline, target)
        return target
    return stage


def records_of(compressed):
    with gzip.open(compressed, "rt", encoding="utf-8") as text:
        return [line for line in text if not line.startswith("#")]


def data_lines(path):
    return [line for line in Path(path).read_text().splitlines(keepends=True) if line.strip() and line[0] != "#"]


def check_with_htslib(compressed, expected_records):
    subprocess.run(["tabix", "-f", "-p", "vcf", compressed], check=True)
    assert Path(str(compressed) + ".tbi").exists()
    shown = subprocess.run(["bcftools", "view", "-H", compressed], check=True, capture_output=True, text=True)
    assert len(shown.stdout.splitlines()) == expected_records


def assert_sorted(records):
    keys = [(r.split("\t")[0].encode(), int(r.split("\t")[1])) for r in records]
    assert keys == sorted(keys)


def svtypes(records):
    return [next((f for f in r.split("\t")[7].split(";") if f.startswith("SVTYPE=")), None) for r in records]


@needs_htslib
def test_dragen_door_end_to_end(staged):
    d = staged("dragen")
    result = cli.dragen_unify(str(d / "out.vcf"), str(d / "NA12878.sv.vcf"), str(d / "NA12878.cnv.vcf"),
                              str(d / "NA12878.repeats.vcf"), str(d / "NA12878.roh.bed"))
    assert result == str(d / "out.vcf") + ".gz"
    assert not (d / "out.vcf").exists()
    records = records_of(result)
    expected = sum(len(data_lines(d / name)) for name in
                   ["NA12878.sv.vcf", "NA12878.cnv.vcf", "NA12878.repeats.vcf", "NA12878.roh.bed"])
    assert len(records) == expected
    assert_sorted(records)
    types = svtypes(records)
    assert types.count("SVTYPE=REP") == 3 and types.count("SVTYPE=ROH") == 3
    check_with_htslib(result, expected)


@needs_htslib
@pytest.mark.parametrize("modify, marked", [(None, 1), (True, 3), (False, 0)])
def test_ont_door_marks_repeats_per_record_unless_told(staged, modify, marked):
    d = staged("ont")
    result = cli.ont_unify(str(d / "out.vcf"), sv_path=str(d / "HG002.sv.vcf"), cnv_path=str(d / "HG002.cnv.vcf"),
                           repeat_path=str(d / "HG002.repeats.vcf"), modify_repeats=modify)
    records = records_of(result)
    repeat_records = [r for r in records if "\tRU=" in r or ";RU=" in r]
    assert sum(r.split("\t")[7].endswith(";SVTYPE=REP") for r in repeat_records) == marked
    assert len(records) == 3 + 2 + 3
    check_with_htslib(result, len(records))


@needs_htslib
def test_pacbio_filter_and_unify_keeps_catalog_loci_and_drops_breakpoints(staged):
    d = staged("pacbio")
    result = cli.pacbio_filter_and_unify(str(d / "out.vcf"), sv_path=str(d / "HG003.sv.vcf"),
                                         full_repeat_path=str(d / "HG003.trgt.vcf"),
                                         repeat_bed_file_path=CATALOG, drop_sv_filters=["InvBreakpoint"])
    records = records_of(result)
    filtered = d / "HG003.trgt_filtered.vcf"
    assert filtered.exists()
    trids = sorted(f.split("=")[1] for r in records for f in r.split("\t")[7].split(";") if f.startswith("TRID="))
    assert trids == ["DM1_DMPK", "FRDA_FXN", "FXS_FMR1", "HD_HTT", "SCA3_ATXN3"]
    assert not any("InvBreakpoint" in r for r in records)
    assert len(records) == 3 + 5
    assert_sorted(records)
    check_with_htslib(result, len(records))


def test_pacbio_without_catalog_leaves_repeats_out(staged, caplog):
    d = staged("pacbio")
    caplog.set_level(logging.INFO)
    result = cli.pacbio_filter_and_unify(str(d / "out.vcf"), str(d / "HG003.sv.vcf"), None,
                                         str(d / "HG003.trgt.vcf"))
    assert len(records_of(result)) == 5
    messages = [(r.levelno, r.msg, r.args) for r in caplog.records]
    assert (logging.WARNING, 'Can\'t filter repeats file with "%s". The bed file does not exist', (None,)) in messages
    assert (logging.WARNING, 'Can\'t unify file type "%s". The file does not exist.', ("repeats",)) in messages


def test_door_with_output_only_returns_none_and_leaves_an_empty_file(tmp_path, caplog):
    caplog.set_level(logging.INFO)
    out = tmp_path / "out.vcf"
    assert cli.dragen_unify(str(out)) is None
    assert out.read_text() == ""
    warnings = [(r.msg, r.args) for r in caplog.records if r.levelno == logging.WARNING]
    missing = 'Can\'t unify file type "%s". The file does not exist.'
    assert warnings == [(missing, ("sv",)), (missing, ("cnv",)), (missing, ("repeats",)), (missing, ("roh",)),
                        ("Empty/no vcf files to concatenate", ())]


def test_roh_only_gives_none(staged):
    d = staged("dragen")
    assert cli.dragen_unify(str(d / "out.vcf"), roh_bed_path=str(d / "NA12878.roh.bed")) is None


@pytest.mark.parametrize("suffix", ["", ".gz", ".gz.tbi"])
def test_doors_refuse_outputs_that_name_an_input(tmp_path, suffix):
    output = tmp_path / "out.vcf"
    sv = Path(str(output) + suffix)
    shutil.copy(EXAMPLES / "dragen" / "NA12878.sv.vcf", sv)
    before = sv.read_bytes()
    with pytest.raises(ValueError):
        cli.dragen_unify(str(output), sv_path=str(sv))
    assert sv.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == [sv.name]


def test_pacbio_refuses_a_filtered_path_that_names_the_sv_input(tmp_path):
    sv = tmp_path / "calls_filtered.vcf"
    shutil.copy(EXAMPLES / "pacbio" / "HG003.sv.vcf", sv)
    full = tmp_path / "calls.vcf.gz"
    full.write_bytes(gzip.compress((EXAMPLES / "pacbio" / "HG003.trgt.vcf").read_bytes()))
    before = sv.read_bytes()
    with pytest.raises(ValueError):
        cli.pacbio_filter_and_unify(str(tmp_path / "out.vcf"), sv_path=str(sv), full_repeat_path=str(full),
                                    repeat_bed_file_path=CATALOG)
    assert sv.read_bytes() == before


@pytest.mark.parametrize("names", ["full", "catalog"])
def test_pacbio_refuses_a_filtered_path_that_names_its_own_inputs(tmp_path, names):
    full = tmp_path / "calls.vcf"
    shutil.copy(EXAMPLES / "pacbio" / "HG003.trgt.vcf", full)
    catalog = tmp_path / "catalog.bed"
    shutil.copy(CATALOG, catalog)
    target = full if names == "full" else catalog
    before = target.read_bytes()
    with pytest.raises(ValueError, match="choose another filtered_repeat_path"):
        cli.pacbio_filter_and_unify(str(tmp_path / "out.vcf"), full_repeat_path=str(full),
                                    repeat_bed_file_path=str(catalog), filtered_repeat_path=str(target))
    assert target.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["calls.vcf", "catalog.bed"]


def test_patched_steps_are_looked_up_at_call_time(staged, monkeypatch):
    d = staged("pacbio")
    seen = []

    def fake_filter(full, bed):
        seen.append(("filter", full, bed))
        return None

    def fake_sort_and_compress(path):
        seen.append(("sort_and_compress", path))
        return "compressed"

    monkeypatch.setattr(cli, "filter_repeats_vcf", fake_filter)
    monkeypatch.setattr(cli, "sort_and_compress", fake_sort_and_compress)
    result = cli.pacbio_filter_and_unify(str(d / "out.vcf"), sv_path=str(d / "HG003.sv.vcf"),
                                         full_repeat_path="x.vcf", repeat_bed_file_path="y.bed")
    assert result == "compressed"
    assert seen == [("filter", "x.vcf", "y.bed"), ("sort_and_compress", str(d / "out.vcf"))]
    # The plain unified file is there: the patched step did not remove it.
    assert len(data_lines(d / "out.vcf")) == 5


def test_patched_reader_in_the_unifier_is_honoured_by_the_doors(staged, monkeypatch):
    d = staged("dragen")
    original = unifier.get_lines
    read = []
    monkeypatch.setattr(unifier, "get_lines", lambda path: read.append(path) or original(path))
    result = cli.dragen_unify(str(d / "out.vcf"), sv_path=str(d / "NA12878.sv.vcf"))
    assert read == [str(d / "NA12878.sv.vcf")]
    assert len(records_of(result)) == 6


def test_door_names_are_bound_from_the_other_modules():
    assert cli.sort_and_compress is compression.sort_and_compress
    assert cli.sort_and_compress is unifier.sort_and_compress
    assert cli.filter_repeats_vcf is repeats.filter_repeats_vcf
    assert (cli.SV, cli.CNV, cli.REPEATS, cli.ROH) == ("sv", "cnv", "repeats", "roh")
    assert cli.UnifyOptions is unifier.UnifyOptions


@needs_real_data
@needs_htslib
@pytest.mark.parametrize("relative", REAL_SV_SAMPLES)
def test_real_caller_outputs_unify_and_index(tmp_path, relative):
    source = REAL_DATA / relative
    sv = tmp_path / source.name
    shutil.copy(source, sv)
    result = cli.pacbio_unify(str(tmp_path / "out.vcf"), sv_path=str(sv))
    expected = len(data_lines(sv))
    assert len(records_of(result)) == expected
    assert sv.read_bytes() == source.read_bytes()
    check_with_htslib(result, expected)


@pytest.mark.parametrize("tokens", [["InvBreakpoint"], ("InvBreakpoint",), iter(["InvBreakpoint"])])
def test_pacbio_drop_sv_filters_take_any_sequence(staged, tokens):
    d = staged("pacbio")
    result = cli.pacbio_unify(str(d / "out.vcf"), sv_path=str(d / "HG003.sv.vcf"), drop_sv_filters=tokens)
    assert [r.split("\t")[6] for r in records_of(result)] == ["PASS"] * 3


def test_pacbio_refuses_a_lone_token_text(staged):
    d = staged("pacbio")
    with pytest.raises(TypeError):
        cli.pacbio_unify(str(d / "out.vcf"), sv_path=str(d / "HG003.sv.vcf"), drop_sv_filters="InvBreakpoint")
    assert not (d / "out.vcf").exists()


@pytest.mark.parametrize("drop", [None, (), []])
@pytest.mark.parametrize("patched", [False, True])
def test_unify_reads_options_without_filter_tokens_as_the_unifier_does(staged, monkeypatch, drop, patched):
    d = staged("pacbio")
    if patched:
        original = unifier.get_lines
        monkeypatch.setattr(unifier, "get_lines", lambda path: original(path))
    options = unifier.UnifyOptions(drop_sv_filters=drop)
    result = cli._unify({cli.SV: str(d / "HG003.sv.vcf")}, str(d / "out.vcf"), options)
    assert len(records_of(result)) == len(data_lines(d / "HG003.sv.vcf"))
