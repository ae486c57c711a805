import io
import logging
import os

import pytest

import Merivane.unifier as unifier
from Merivane.unifier import UnifyOptions
from unifier_helpers import COLUMNS, SITES_ONLY_COLUMNS, dragen_inputs, marked

CREATED = "Created unified vcf file at %s"
NOTHING = "Empty/no vcf files to concatenate"
NO_HEADER = "No vcf header for given %s file"


def records(lines):
    return lines[lines.index(COLUMNS) + 1:]


def roh_records():
    return ["chr1\t1000\t.\tN\t<ROH>\t.\tPASS\tEND=5000;SVTYPE=ROH;ROH_SCORE=12.5\tGT\t1/1\n",
            "chr2\t11\t.\tN\t<ROH>\t.\tPASS\tEND=20;SVTYPE=ROH;ROH_SCORE=3\tGT\t1/1\n"]


def unify(tmp_path, files_lines, options=None):
    path = str(tmp_path / "unified.vcf")
    result = unifier.unify_lines(files_lines, path, options)
    with open(path, encoding="utf-8", newline="") as handle:
        return result, path, handle.read()


def test_all_four_inputs(tmp_path, caplog):
    caplog.set_level(logging.INFO)
    inputs = dragen_inputs()
    result, path, text = unify(tmp_path, inputs)
    assert result == path
    repeats = [marked(line) for line in records(inputs["repeats"])]
    # Appended CNV records are not screened, no-calls included.
    assert text == "".join(inputs["sv"] + records(inputs["cnv"]) + repeats + roh_records())
    assert [(r.levelno, r.msg, r.args) for r in caplog.records] == [(logging.INFO, CREATED, (path,))]


def test_result_is_the_very_output_path_object(tmp_path):
    path = str(tmp_path / "unified.vcf")
    assert unifier.unify_lines(dragen_inputs(), path) is path


def test_cnv_donor_is_screened_and_written_once(tmp_path):
    inputs = dragen_inputs()
    del inputs["sv"]
    _, _, text = unify(tmp_path, inputs)
    cnv = inputs["cnv"]
    screened = [line for line in cnv if "./.:1" not in line or "SVTYPE=" in line]
    assert len(screened) == len(cnv) - 1
    assert text == "".join(screened + [marked(line) for line in records(inputs["repeats"])] + roh_records())


def test_repeats_donor_is_written_once(tmp_path):
    inputs = dragen_inputs()
    _, _, text = unify(tmp_path, {"repeats": inputs["repeats"], "sv": None})
    header = inputs["repeats"][:inputs["repeats"].index(COLUMNS) + 1]
    assert text == "".join(header + [marked(line) for line in records(inputs["repeats"])])


@pytest.mark.parametrize("files_lines", [{}, {"roh": dragen_inputs()["roh"]}, {"sv": None, "other": ["x\n"]}])
def test_nothing_to_donate_a_header(tmp_path, caplog, files_lines):
    (tmp_path / "unified.vcf").write_text("stale\n")
    result, _, text = unify(tmp_path, files_lines)
    assert result is None and text == ""
    assert [(r.levelno, r.msg) for r in caplog.records] == [(logging.WARNING, NOTHING)]


def test_present_but_empty_sv_gives_records_without_header(tmp_path):
    inputs = dragen_inputs()
    _, _, text = unify(tmp_path, {"sv": [], "cnv": inputs["cnv"]})
    assert text == "".join(records(inputs["cnv"]))


@pytest.mark.parametrize("kind", ["cnv", "repeats"])
def test_appended_input_without_full_column_header(tmp_path, caplog, kind):
    inputs = dragen_inputs()
    lines = [SITES_ONLY_COLUMNS if line == COLUMNS else line for line in inputs[kind]]
    _, _, text = unify(tmp_path, {"sv": inputs["sv"], kind: lines})
    assert text == "".join(inputs["sv"])
    assert [(r.msg, r.args) for r in caplog.records] == [(NO_HEADER, (kind,))]


@pytest.mark.parametrize("columns, written", [
    (SITES_ONLY_COLUMNS, "header"),  # header up to "#CHROM", then no records
    (None, "all unmarked"),          # no "#CHROM" at all: every line is header
])
def test_repeats_donor_without_full_column_header(tmp_path, caplog, columns, written):
    lines = dragen_inputs()["repeats"]
    lines = [line for line in lines if line != COLUMNS] if columns is None else \
        [columns if line == COLUMNS else line for line in lines]
    _, _, text = unify(tmp_path, {"repeats": lines})
    expected = lines[:lines.index(columns) + 1] if columns else lines
    assert text == "".join(expected)
    assert [(r.msg, r.args) for r in caplog.records] == [(NO_HEADER, ("repeats",))]


@pytest.mark.parametrize("roh_format, roh, expected", [
    ("auto", ["##roh\n", COLUMNS, "chr5\t1\t.\tN\t<ROH>\t.\tPASS\tEND=9\tGT\t1/1\n"],
     ["chr5\t1\t.\tN\t<ROH>\t.\tPASS\tEND=9\tGT\t1/1\n"]),
    ("bed", ["##roh\n", COLUMNS, "chr5\t1\t9\t3\n"],
     ["chr5\t2\t.\tN\t<ROH>\t.\tPASS\tEND=9;SVTYPE=ROH;ROH_SCORE=3\tGT\t1/1\n"]),
    ("vcf", dragen_inputs()["roh"], []),
    ("BED", dragen_inputs()["roh"], roh_records()),
])
def test_roh_shape(tmp_path, roh_format, roh, expected):
    inputs = dragen_inputs()
    _, _, text = unify(tmp_path, {"sv": inputs["sv"], "roh": roh}, UnifyOptions(roh_format=roh_format))
    assert text == "".join(inputs["sv"] + expected)


def test_roh_vcf_read_as_bed_fails_on_its_records(tmp_path):
    roh = ["##roh\n", COLUMNS, "chr5\t1\t.\tN\t<ROH>\t.\tPASS\tEND=9\tGT\t1/1\n"]
    with pytest.raises(ValueError, match="invalid literal for int"):
        unify(tmp_path, {"sv": ["##h\n"], "roh": roh}, UnifyOptions(roh_format="bed"))


@pytest.mark.parametrize("add, marks", [(None, [True, False]), (True, [True, True]), (False, [False, False])])
def test_repeat_marking_follows_the_option(tmp_path, add, marks):
    repeats = dragen_inputs()["repeats"][:-1] + [dragen_inputs()["repeats"][-1].replace("TRID", "SVTYPE=STR;TRID")]
    _, _, text = unify(tmp_path, {"sv": ["##h\n"], "repeats": repeats}, UnifyOptions(add_repeat_svtype=add))
    expected = [marked(line) if mark else line for line, mark in zip(records(repeats), marks)]
    assert text == "".join(["##h\n"] + expected)


def test_unterminated_last_lines_are_terminated_before_the_next_input(tmp_path):
    inputs = dragen_inputs()
    sv = inputs["sv"][:-1] + [inputs["sv"][-1].rstrip("\n")]
    cnv = inputs["cnv"][:-1] + [inputs["cnv"][-1].rstrip("\n")]
    _, _, text = unify(tmp_path, {"sv": sv, "cnv": cnv})
    assert text == "".join(inputs["sv"] + records(inputs["cnv"])[:-1]) + records(inputs["cnv"])[-1].rstrip("\n")


def test_text_is_written_as_utf8_without_newline_translation(tmp_path):
    sv = ["##note=café ✓\n", COLUMNS, "chr1\t1\tx\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL\tGT\t0/1\r\n"]
    path = str(tmp_path / "u.vcf")
    unifier.unify_lines({"sv": sv}, path)
    with open(path, "rb") as handle:
        assert handle.read() == "".join(sv).encode("utf-8")


@pytest.mark.parametrize("kind, bad, error, line", [
    ("repeats", "chr1\t5\t.\tCA\t<STR>\t.\tPASS\tEND=9\tGT\t0/1\t1/1\n", ValueError, 3),
    ("roh", "chr1\t5\t9\n", IndexError, 2),
])
def test_rule_error_leaves_an_earlier_file_alone(tmp_path, caplog, kind, bad, error, line):
    caplog.set_level(logging.INFO)
    inputs = dragen_inputs()
    good = inputs[kind][:line - 1] if kind == "roh" else inputs[kind]
    lines = good + [bad]
    path = tmp_path / "u.vcf"
    path.write_text("earlier\n")
    with pytest.raises(error) as info:
        unifier.unify_lines({"sv": inputs["sv"], kind: lines}, str(path))
    assert path.read_text() == "earlier\n"
    assert os.listdir(tmp_path) == ["u.vcf"]
    assert CREATED not in [r.msg for r in caplog.records]
    notes = getattr(info.value, "__notes__", None)
    if notes is not None:
        assert notes == [f"in the {kind} input, line {len(lines)}"]


def test_bad_cnv_donor_writes_nothing(tmp_path):
    cnv = dragen_inputs()["cnv"] + ["chr1\t5\t.\tN\t.\t.\tPASS\tEND=9\tCN\t2\n"]
    result = None
    with pytest.raises(ValueError):
        result = unify(tmp_path, {"cnv": cnv})
    assert result is None
    assert not os.path.exists(tmp_path / "unified.vcf")


@pytest.mark.parametrize("path, error", [
    ("/nonexistent/dir/u.vcf", FileNotFoundError), (".", IsADirectoryError),
])
def test_unopenable_output_raises_the_os_error(path, error, caplog):
    with pytest.raises(error) as info:
        unifier.unify_lines(dragen_inputs(), path)
    assert info.value.filename == path
    assert caplog.records == []


def test_writer_uses_replaced_rules(tmp_path, monkeypatch):
    monkeypatch.setattr(unifier, "is_valid_line", lambda line: "chr3\t" not in line)
    monkeypatch.setattr(unifier, "modify_repeat_line", lambda line: line.replace("PASS", "MARKED"))
    monkeypatch.setattr(unifier, "roh_bed_line_to_vcf", lambda line: "roh:" + line)
    inputs = dragen_inputs()
    _, _, text = unify(tmp_path, {"cnv": inputs["cnv"], "repeats": inputs["repeats"], "roh": inputs["roh"]})
    expected = [line for line in inputs["cnv"] if "chr3\t" not in line]
    expected += [line.replace("PASS", "MARKED") for line in records(inputs["repeats"])]
    expected += ["roh:" + line for line in inputs["roh"][1:]]
    assert text == "".join(expected)


@pytest.mark.parametrize("files_lines, error", [
    ({"sv": "##h\nrec\n"}, TypeError), ({"sv": ["##h\n", 5]}, TypeError), ({"sv": 5}, TypeError),
])
def test_malformed_tables_are_type_errors(tmp_path, files_lines, error):
    with pytest.raises(error):
        unifier.unify_lines(files_lines, str(tmp_path / "u.vcf"))


def test_write_vcf_content_through_a_python_writer(caplog):
    inputs = dragen_inputs()
    out = io.StringIO()
    assert unifier._write_vcf_content("repeats", inputs, out, UnifyOptions()) is None
    assert out.getvalue() == "".join(marked(line) for line in records(inputs["repeats"]))
    out = io.StringIO()
    unifier._write_vcf_content(file_type="roh", lines_dict=inputs, output_h=out, options=UnifyOptions())
    assert out.getvalue() == "".join(roh_records())
    assert caplog.records == []


def test_write_vcf_content_takes_any_writer():
    written = []

    class Writer:
        def write(self, text):
            written.append(text)

    unifier._write_vcf_content("cnv", {"cnv": ["##h\n", COLUMNS, "a\n", "b\n"]}, Writer(), UnifyOptions())
    assert written == ["a\n", "b\n"]


@pytest.mark.parametrize("file_type, lines_dict, options, error", [
    ("cnv", {"cnv": None}, UnifyOptions(), TypeError),
    ("cnv", {}, UnifyOptions(), KeyError),
    ("cnv", {"cnv": []}, None, TypeError),
    ("bogus", {"bogus": []}, UnifyOptions(), ValueError),
])
def test_write_vcf_content_errors(file_type, lines_dict, options, error):
    with pytest.raises(error):
        unifier._write_vcf_content(file_type, lines_dict, io.StringIO(), options)
