import gzip
import logging
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import Merivane
import Merivane.compression as compression
import Merivane.unifier as unifier
from real_data import REAL_DATA, REAL_SV_SAMPLES, needs_real_data
from unifier_helpers import COLUMNS, dragen_inputs, header, marked, repeat_record, sv_record, write_text

MISSING = "Can't unify file type \"%s\". The file does not exist."


def write_inputs(tmp_path, inputs, how="plain"):
    names = {"sv": "sv.vcf", "cnv": "cnv.vcf", "repeats": "repeats.vcf", "roh": "roh.bed"}
    return {kind: write_text(tmp_path / names[kind], "".join(lines), how if kind != "roh" else "plain")
            for kind, lines in inputs.items()}


def bgzf_text(path):
    with gzip.open(path, "rt", encoding="utf-8", newline="") as handle:
        return handle.read()


def records_of(text):
    return [line for line in text.splitlines(keepends=True) if not line.startswith("#")]


def test_run_is_offered_from_the_package_root():
    assert Merivane.run is unifier.run
    assert unifier.sort_and_compress is compression.sort_and_compress
    assert unifier.run.__doc__.startswith(
        "run(output_path: str, sv_path: Optional[str] = None, cnv_path: Optional[str] = None, "
        "repeat_path: Optional[str] = None, roh_bed_path: Optional[str] = None, skip_svtype: bool = False, "
        "drop_sv_filters: Sequence[str] = (), *, merge_headers: bool = False, threads: int = 1, "
        "compresslevel: int = 9, index: Optional[str] = None, sort_order: str = \"text\", sample: Optional[str] = None, "
        "header_lines: Sequence[str] = (), stats: Optional[dict] = None) -> Optional[str]\n")


@pytest.mark.parametrize("how", ["plain", "gzip", "bgzf"])
def test_dragen_run_gives_a_sorted_bgzf_file(tmp_path, how, caplog):
    caplog.set_level(logging.INFO)
    inputs = dragen_inputs()
    paths = write_inputs(tmp_path, inputs, how)
    output = str(tmp_path / "unified.vcf")
    result = unifier.run(output, paths["sv"], paths["cnv"], paths["repeats"], paths["roh"])
    assert result == output + ".gz"
    assert not os.path.exists(output) and not os.path.exists(output + ".sorted.tmp")
    text = bgzf_text(result)
    assert text.startswith("".join(inputs["sv"][:-3]))
    records = records_of(text)
    # Every record once: SV, all appended CNV records, marked repeats, converted ROH.
    assert len(records) == 3 + 3 + 2 + 2
    assert marked(inputs["repeats"][-1]) in records
    assert [(line.split("\t")[0], int(line.split("\t")[1])) for line in records] == sorted(
        (line.split("\t")[0], int(line.split("\t")[1])) for line in records)
    assert [(r.msg, r.args) for r in caplog.records][-2:] == [
        ("Created unified vcf file at %s", (output,)), ("Wrote sorted, bgzipped VCF to %s", (result,))]


@pytest.mark.skipif(not (shutil.which("tabix") and shutil.which("bcftools")), reason="tabix/bcftools not installed")
def test_tabix_indexes_and_bcftools_reads_every_record(tmp_path):
    inputs = dragen_inputs()
    paths = write_inputs(tmp_path, inputs)
    result = unifier.run(output_path=str(tmp_path / "u.vcf"), sv_path=paths["sv"], cnv_path=paths["cnv"],
                         repeat_path=paths["repeats"], roh_bed_path=paths["roh"])
    subprocess.run(["tabix", "-p", "vcf", result], check=True, capture_output=True)
    assert os.path.exists(result + ".tbi")
    view = subprocess.run(["bcftools", "view", "-H", result], check=True, capture_output=True, text=True)
    assert len(view.stdout.splitlines()) == len(records_of(bgzf_text(result))) == 10
    region = subprocess.run(["tabix", result, "chr1"], check=True, capture_output=True, text=True)
    # chr1 holds one record of each kind: SV 900, CNV 5000, repeat 77, ROH 1000.
    assert len(region.stdout.splitlines()) == 4


def test_nothing_given(tmp_path, caplog):
    output = str(tmp_path / "u.vcf")
    assert unifier.run(output) is None
    assert [(r.levelno, r.msg, r.args) for r in caplog.records] == [
        (logging.WARNING, MISSING, (kind,)) for kind in unifier.FILE_TYPES] + [
        (logging.WARNING, "Empty/no vcf files to concatenate", ())]
    assert os.path.getsize(output) == 0 and not os.path.exists(output + ".gz")


def test_only_roh_gives_none(tmp_path):
    paths = write_inputs(tmp_path, {"roh": dragen_inputs()["roh"]})
    assert unifier.run(str(tmp_path / "u.vcf"), roh_bed_path=paths["roh"]) is None


@pytest.mark.parametrize("skip, marks", [(False, [True, False]), (True, [False, False]), (1, [False, False])])
def test_skip_svtype(tmp_path, skip, marks):
    lines = [repeat_record("chr1", 10), repeat_record("chr1", 20, info="SVTYPE=STR;END={end}")]
    paths = write_inputs(tmp_path, {"repeats": header("ont") + lines})
    result = unifier.run(str(tmp_path / "u.vcf"), repeat_path=paths["repeats"], skip_svtype=skip)
    assert records_of(bgzf_text(result)) == [marked(line) if m else line for line, m in zip(lines, marks)]


@pytest.mark.parametrize("tokens", [["InvBreakpoint"], ("InvBreakpoint",), iter(["InvBreakpoint"])])
def test_drop_sv_filters(tmp_path, tokens):
    sv = header("pbsv") + [sv_record("chr1", 1, "InvBreakpoint"), sv_record("chr1", 2)]
    paths = write_inputs(tmp_path, {"sv": sv})
    result = unifier.run(str(tmp_path / "u.vcf"), paths["sv"], drop_sv_filters=tokens)
    assert records_of(bgzf_text(result)) == [sv_record("chr1", 2)]


def test_roh_vcf_is_copied(tmp_path):
    roh = ["##roh\n", COLUMNS, "chr1\t7\t.\tN\t<ROH>\t.\tPASS\tEND=99\tGT\t1/1\n"]
    paths = write_inputs(tmp_path, {"sv": dragen_inputs()["sv"], "roh": roh})
    result = unifier.run(str(tmp_path / "u.vcf"), paths["sv"], roh_bed_path=paths["roh"])
    assert roh[-1] in records_of(bgzf_text(result))


@pytest.mark.parametrize("suffix", ["", ".gz"])
def test_outputs_naming_an_input_are_refused_before_writing(tmp_path, suffix):
    inputs = dragen_inputs()
    paths = write_inputs(tmp_path, {"sv": inputs["sv"], "cnv": inputs["cnv"]})
    before = Path(paths["cnv"]).read_bytes()
    output = paths["cnv"][:len(paths["cnv"]) - len(suffix)] if suffix else paths["cnv"]
    if suffix:
        os.rename(paths["cnv"], output + suffix)
        paths["cnv"] = output + suffix
    with pytest.raises(ValueError):
        unifier.run(output, paths["sv"], paths["cnv"])
    assert Path(paths["cnv"]).read_bytes() == before
    if suffix:
        assert not os.path.exists(output)


def test_output_naming_an_input_by_another_spelling_or_link(tmp_path, monkeypatch):
    paths = write_inputs(tmp_path, {"sv": dragen_inputs()["sv"]})
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError):
        unifier.run("./sub/../sv.vcf", paths["sv"])
    os.symlink(paths["sv"], tmp_path / "link.vcf")
    with pytest.raises(ValueError):
        unifier.run(str(tmp_path / "link.vcf"), paths["sv"])
    assert Path(paths["sv"]).read_text() == "".join(dragen_inputs()["sv"])


@pytest.mark.parametrize("kwargs, error", [
    ({"output_path": Path("u.vcf")}, TypeError),
    ({"sv_path": Path("sv.vcf")}, TypeError),
    ({"drop_sv_filters": "InvBreakpoint"}, TypeError),
    ({"cnv_path": "/nonexistent/cnv.vcf"}, FileNotFoundError),
])
def test_bad_arguments(tmp_path, kwargs, error):
    kwargs.setdefault("output_path", str(tmp_path / "u.vcf"))
    with pytest.raises(error):
        unifier.run(**kwargs)


def test_malformed_record_leaves_no_unified_file(tmp_path, caplog):
    caplog.set_level(logging.INFO)
    inputs = dragen_inputs()
    inputs["repeats"] = inputs["repeats"] + ["chr1\t5\t.\tCA\t<STR>\t.\tPASS\tEND=9\tGT\t0/1\t1/1\n"]
    paths = write_inputs(tmp_path, inputs)
    output = str(tmp_path / "u.vcf")
    with pytest.raises(ValueError):
        unifier.run(output, paths["sv"], paths["cnv"], paths["repeats"])
    assert not os.path.exists(output)
    assert not os.path.exists(output + ".gz")
    assert "Created unified vcf file at %s" not in [r.msg for r in caplog.records]


def test_replaced_steps_are_called_by_name(tmp_path, monkeypatch):
    calls = []
    inputs = dragen_inputs()
    paths = write_inputs(tmp_path, {"sv": inputs["sv"]})
    real_read, real_unify = unifier.read_struct_lines, unifier.unify_lines

    def read(struct_files, options):
        calls.append(("read", dict(struct_files), options))
        return real_read(struct_files, options)

    def unify(files_lines, output_path, options):
        calls.append(("unify", output_path, options))
        return real_unify(files_lines, output_path, options)

    monkeypatch.setattr(unifier, "read_struct_lines", read)
    monkeypatch.setattr(unifier, "unify_lines", unify)
    monkeypatch.setattr(unifier, "sort_and_compress", lambda path: calls.append(("compress", path)) or "done")
    output = str(tmp_path / "u.vcf")
    assert unifier.run(output, paths["sv"], skip_svtype=True, drop_sv_filters=["x"]) == "done"
    options = unifier.UnifyOptions(False, "auto", ("x",))
    assert calls == [("read", {"sv": paths["sv"], "cnv": None, "repeats": None, "roh": None}, options),
                     ("unify", output, options), ("compress", output)]


def test_a_replaced_record_rule_reaches_run(tmp_path, monkeypatch):
    monkeypatch.setattr(unifier, "modify_repeat_line", lambda line: line.replace("PASS", "REPLACED"))
    paths = write_inputs(tmp_path, {"repeats": header("trgt") + [repeat_record("chr1", 10)]})
    result = unifier.run(str(tmp_path / "u.vcf"), repeat_path=paths["repeats"])
    assert records_of(bgzf_text(result)) == [repeat_record("chr1", 10).replace("PASS", "REPLACED")]


def test_compression_import_failure_stops_the_unifier_loading(tmp_path):
    # A package whose compression module cannot be imported: the unifier
    # must refuse to load rather than load without its last step.
    package = tmp_path / "Merivane"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "compression.py").write_text("raise ImportError('no compression here')\n")
    shutil.copy(unifier.__file__, package / Path(unifier.__file__).name)
    probe = subprocess.run([sys.executable, "-c", "import Merivane.unifier"], cwd=tmp_path, capture_output=True,
                           text=True)
    assert probe.returncode != 0
    assert "no compression here" in probe.stderr


@needs_real_data
@pytest.mark.parametrize("sample", REAL_SV_SAMPLES)
def test_real_sv_files_survive_the_round_trip(tmp_path, sample):
    source = REAL_DATA / sample
    original = source.read_text(encoding="utf-8")
    roh = write_text(tmp_path / "roh.bed", "chr1\t999\t5000\t12.5\n")
    result = unifier.run(str(tmp_path / "u.vcf"), str(source), roh_bed_path=roh)
    assert source.read_text(encoding="utf-8") == original
    text = bgzf_text(result)
    assert sorted(records_of(text)) == sorted(records_of(original) + [unifier.roh_bed_line_to_vcf("chr1\t999\t5000\t12.5")])
    if shutil.which("bcftools"):
        view = subprocess.run(["bcftools", "view", "-H", result], capture_output=True, text=True, check=True)
        assert len(view.stdout.splitlines()) == len(records_of(original)) + 1
