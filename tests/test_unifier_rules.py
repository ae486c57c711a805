import logging

import pytest

import Merivane.unifier as unifier
from unifier_helpers import cnv_record, marked, repeat_record, roh_bed_line, sv_record

TRGT = repeat_record("chr1", 100)
ONT = repeat_record("chr1", 100, info="SVTYPE=STR;END={end}")
NINE_CELLS = "chr1\t100\t.\tN\t<STR>\t.\tPASS\tEND=130\tGT\n"
ELEVEN_CELLS = TRGT[:-1] + "\t1/1\n"


@pytest.mark.parametrize("line, valid", [
    ("##fileformat=VCFv4.2\n", True),
    ("", True),
    (cnv_record("chr1", 5, gt="./.", svtype=True), True),
    ("chr1\t5\t.\tN\t.\t.\tPASS\tEND=9\tGT:CN\t./.:2\n", False),
    ("chr1\t5\t.\tN\t.\t.\tPASS\tEND=9\tGT:CN\t0/1:2\n", True),
    ("chr1\t5\t.\tN\t.\t.\tPASS\tEND=9\tCN:GT\t2:./.\t0/1:2\n", False),
    # A no-call that ends the line is still a no-call.
    ("chr1\t5\t.\tN\t.\t.\tPASS\tEND=9\tGT\t./.\n", False),
    ("chr1\t5\t.\tN\t.\t.\tPASS\tEND=9\tGT\t./.\r\n", False),
])
def test_cnv_validity(line, valid):
    assert unifier.is_valid_line(line) is valid


@pytest.mark.parametrize("line, error, message", [
    ("\n", IndexError, "list index out of range"),
    ("chr1\t5\t.\tN\t.\t.\tPASS\tEND=9\tCN\t2\n", ValueError, "'GT' is not in list"),
    ("chr1\t5\t.\tN\t.\t.\tPASS\tEND=9\tCN:GT\t2\n", IndexError, "list index out of range"),
])
def test_cnv_validity_errors(line, error, message):
    with pytest.raises(error, match=message):
        unifier.is_valid_line(line)


@pytest.mark.parametrize("line, add, expected", [
    (TRGT, None, marked(TRGT)),
    (ONT, None, ONT),
    (ONT, True, marked(ONT)),
    (TRGT, False, TRGT),
    (TRGT, 0, marked(TRGT)),  # only the False object itself means "never"
    ("\n", True, "\n"),
    (NINE_CELLS, None, NINE_CELLS),
    (NINE_CELLS, True, NINE_CELLS),
    (ELEVEN_CELLS, False, ELEVEN_CELLS),
])
def test_repeat_marking(line, add, expected):
    assert unifier._marked_repeat_line(line, add) == expected


def test_unchanged_repeat_line_is_the_same_object():
    assert unifier._marked_repeat_line(ONT, None) is ONT


@pytest.mark.parametrize("add", [None, True])
def test_marking_an_eleven_cell_record_fails(add):
    with pytest.raises(ValueError, match="too many values to unpack"):
        unifier._marked_repeat_line(ELEVEN_CELLS, add)


def test_modify_repeat_line_keeps_a_dot_info_and_checks_cell_count():
    line = "chr1\t5\t.\tCA\t<STR2>\t.\tPASS\t.\tGT\t0/1\n"
    assert unifier.modify_repeat_line(line) == "chr1\t5\t.\tCA\t<STR2>\t.\tPASS\t.;SVTYPE=REP\tGT\t0/1\n"
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 10, got 9\)"):
        unifier.modify_repeat_line(NINE_CELLS)
    assert unifier._repeat_line_needs_svtype(TRGT) is True
    assert unifier._repeat_line_needs_svtype(ONT) is False
    assert unifier._repeat_line_needs_svtype(NINE_CELLS) is False


def test_marking_looks_its_steps_up_on_the_module(monkeypatch):
    asked = []
    monkeypatch.setattr(unifier, "_repeat_line_needs_svtype", lambda line: asked.append(line) or True)
    monkeypatch.setattr(unifier, "modify_repeat_line", lambda line: "patched\n")
    assert unifier._marked_repeat_line(ONT, None) == "patched\n"
    assert asked == [ONT]
    assert unifier._marked_repeat_line(NINE_CELLS, True) == NINE_CELLS


def test_sv_filter_drops_records_with_a_token(caplog):
    caplog.set_level(logging.INFO)
    lines = ["##h\n", "#CHROM\n", sv_record("chr1", 1, "InvBreakpoint"), sv_record("chr1", 2, "PASS"),
             sv_record("chr1", 3, "MinQUAL;InvBreakpoint"), sv_record("chr1", 4, "invbreakpoint"),
             "chr1\t5\t.\tN\t.\t9\n"]
    kept = unifier.drop_sv_records_by_filter(lines, ["InvBreakpoint"])
    assert kept == [lines[0], lines[1], lines[3], lines[5], lines[6]]
    assert all(a is b for a, b in zip(kept, [lines[0], lines[1], lines[3], lines[5], lines[6]]))
    [record] = caplog.records
    assert record.levelno == logging.INFO and record.name == "root"
    assert record.msg == "Filtered %d SV records with FILTER in %s from the unified VCF"
    assert record.args == (2, ["InvBreakpoint"])
    assert record.getMessage() == "Filtered 2 SV records with FILTER in ['InvBreakpoint'] from the unified VCF"


@pytest.mark.parametrize("tokens", [(), [], None, ["Absent"]])
def test_sv_filter_without_removals_copies_and_stays_quiet(tokens, caplog):
    caplog.set_level(logging.INFO)
    lines = [sv_record("chr1", 1, "PASS")]
    kept = unifier.drop_sv_records_by_filter(lines, tokens)
    assert kept == lines and kept is not lines
    assert caplog.records == []


def test_sv_filter_reports_distinct_tokens_sorted(caplog):
    caplog.set_level(logging.INFO)
    unifier.drop_sv_records_by_filter([sv_record("chr1", 1, "b")], ("c", "b", "a", "b"))
    assert caplog.records[0].args == (1, ["a", "b", "c"])


def test_sv_filter_refuses_a_lone_text_as_tokens():
    with pytest.raises(TypeError):
        unifier.drop_sv_records_by_filter([sv_record("chr1", 1, "I")], "InvBreakpoint")


VCF_ROH = ["##x\n", unifier._VCF_COLUMN_HEADER + "\tS1\n", "chr1\t5\t.\tN\t<ROH>\t.\tPASS\tEND=9\tGT\t1/1\n"]
BED_ROH = [roh_bed_line("chr1", 1, 5)]


@pytest.mark.parametrize("lines, declared, is_bed", [
    (VCF_ROH, "bed", True), (BED_ROH, "vcf", False), (VCF_ROH, "auto", False), (BED_ROH, "auto", True),
    (VCF_ROH, "BED", False), (BED_ROH, "", True),
    (["#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n"], "auto", True),
])
def test_roh_shape(lines, declared, is_bed):
    assert unifier._roh_lines_are_bed(lines, declared) is is_bed


def test_roh_shape_stops_at_the_column_header():
    def lines():
        yield VCF_ROH[1]
        raise AssertionError("read past the column header")
    assert unifier._roh_lines_are_bed(lines(), "auto") is False


ROH_1000 = "chr1\t1000\t.\tN\t<ROH>\t.\tPASS\tEND=5000;SVTYPE=ROH;ROH_SCORE=12.5\tGT\t1/1\n"


@pytest.mark.parametrize("line", [
    "chr1\t999\t5000\t12.5\n", "chr1\t5000\t999\t12.5\n", "chr1\t999\t5000\t12.5\t7\n", "chr1\t 999 \t+5000\t12.5",
])
def test_roh_conversion(line):
    assert unifier.roh_bed_line_to_vcf(line) == ROH_1000


@pytest.mark.parametrize("line, error", [
    ("chr1\t999\t5000\n", IndexError), ("chr1\tx\t5000\t1\n", ValueError), ("chr1\t9.5\t5000\t1\n", ValueError),
])
def test_roh_conversion_errors(line, error):
    with pytest.raises(error):
        unifier.roh_bed_line_to_vcf(line)


@pytest.mark.parametrize("call", [
    lambda: unifier.is_valid_line(None), lambda: unifier.modify_repeat_line(b"x"),
    lambda: unifier.roh_bed_line_to_vcf(1), lambda: unifier._roh_lines_are_bed([], None),
    lambda: unifier.drop_sv_records_by_filter("chr1\t1\n", ["x"]),
])
def test_non_text_arguments_are_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_rules_take_keyword_arguments():
    assert unifier._marked_repeat_line(repeat_line=TRGT, add_repeat_svtype=None) == marked(TRGT)
    assert unifier.roh_bed_line_to_vcf(bed_line="chr1\t999\t5000\t12.5") == ROH_1000
    assert unifier._roh_lines_are_bed(roh_lines=BED_ROH, declared="auto")
    assert unifier.drop_sv_records_by_filter(lines=[], filter_tokens=["x"]) == []
