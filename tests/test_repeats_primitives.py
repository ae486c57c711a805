"""Catalog intervals, record spans and the repeat VCF reader, from Python."""
import gzip
import os

import pytest

from Merivane import repeats
from repeats_helpers import VCF_TEXT, bgzf


@pytest.mark.parametrize("name, signature, summary", [
    ("default_repeat_catalog_path", "default_repeat_catalog_path() -> str",
     "Path to the bundled hg38 pathogenic-STR catalog."),
    ("_open_vcf_text", "_open_vcf_text(path: str) -> TextIO", None),
    ("_read_bed_intervals", "_read_bed_intervals(bed_path: str) -> Dict[str, List[Tuple[int, int]]]",
     "Catalog intervals per chromosome, sorted by start."),
    ("_record_span", "_record_span(line: str) -> Optional[Tuple[str, int, int]]",
     "(chromosome, start, end) of a VCF record, 0-based and half-open."),
    ("_info_end", "_info_end(info: str) -> Optional[int]", None),
    ("_overlaps", "_overlaps(intervals: Sequence[Tuple[int, int]], start: int, end: int) -> bool", None),
    ("filter_repeats_vcf",
     "filter_repeats_vcf(full_repeat_path: Optional[str] = None, repeat_bed_file_path: Optional[str] = None, "
     "engine: Optional[str] = None, output_path: Optional[str] = None, *, "
     "require_catalog_chromosomes: bool = False) -> Optional[str]",
     "Intersect the repeat VCF with the catalog BED; returns the filtered path."),
    ("bedtools_available", "bedtools_available() -> bool", "Whether a ``bedtools`` binary is on PATH."),
    ("_intersect_with_bedtools",
     "_intersect_with_bedtools(repeat_path: str, bed_path: str, output_path: str) -> None", None),
    ("_intersect_in_python", "_intersect_in_python(repeat_path: str, bed_path: str, output_path: str) -> None", None),
    ("_filtered_repeat_path", "_filtered_repeat_path(full_repeat_path: str) -> str", None),
])
def test_docstrings_begin_with_the_annotated_signature(name, signature, summary):
    doc = getattr(repeats, name).__doc__
    first, blank, rest = doc.split("\n", 2)
    assert (first, blank) == (signature, "")
    assert rest.strip()
    if summary is not None:
        assert rest.startswith(summary)


def test_module_constants_and_docstring():
    assert repeats.__doc__.startswith("Restrict a tandem-repeat VCF to a catalog of loci before unification.")
    assert (repeats.BEDTOOLS, repeats.BUILTIN) == ("bedtools", "builtin")
    assert repeats._BUNDLED_CATALOG == "STRchive-disease-loci.hg38.TRGT.bed"


def test_the_shipped_catalog_lies_beside_the_module_with_its_licence():
    path = repeats.default_repeat_catalog_path()
    module_dir = os.path.dirname(os.path.abspath(repeats.__file__))
    assert path == os.path.join(module_dir, "data", repeats._BUNDLED_CATALOG)
    assert os.path.isfile(path)
    assert os.path.isfile(os.path.join(module_dir, "data", "STRchive-LICENSE"))
    catalog = repeats._read_bed_intervals(path)
    assert sum(len(v) for v in catalog.values()) >= 50
    for intervals in catalog.values():
        assert intervals == sorted(intervals)
        assert all(start < end for start, end in intervals)


@pytest.mark.parametrize("line, span", [
    ("chr1\t100\t.\tA\t<STR>\t.\tPASS\tEND=150;MOTIFS=CAG\tGT\t0/1\n", ("chr1", 99, 150)),
    ("chr1\t100\t.\tACGT\t.\t.\tPASS\tMOTIFS=CAG\n", ("chr1", 99, 103)),
    ("chr1\t100\t.\t\t.\t.\tPASS\tMOTIFS=CAG\n", ("chr1", 99, 100)),
    ("chr1\t 100\t.\tA\t.\t.\tPASS\t.", ("chr1", 99, 100)),
    ("chré\t10\t.\téé\t.\t.\t.\t.\n", ("chré", 9, 11)),
    ("chr1\t100\t.\tA\t.\t.\tPASS\n", None),
    ("chr1\tabc\t.\tA\t.\t.\tPASS\tEND=5\n", None),
    ("chr1\t9223372036854775809\t.\tA\t.\t.\t.\t.\n", None),
])
def test_record_span(line, span):
    assert repeats._record_span(line) == span
    assert repeats._record_span(line=line) == span


@pytest.mark.parametrize("info, end", [
    ("END=", None), ("SVTYPE=INS;END=500", 500), ("END=abc;END=5", None), ("SVEND=7", None),
    ("", None), ("END=-3", -3), ("END=18446744073709551616", None),
])
def test_info_end(info, end):
    assert repeats._info_end(info=info) == end


@pytest.mark.parametrize("intervals, start, end, expected", [
    ([(10, 20)], 19, 25, True),
    ([(10, 20)], 20, 25, False),
    ([(10, 20)], 5, 10, False),
    ([(10, 20)], 15, 15, True),
    ([], 15, 18, False),
    ([(30, 40), (10, 20)], 15, 18, False),
    ([[10, 20]], 12, 13, True),
    (((s, s + 5) for s in (0, 100)), 101, 102, True),
])
def test_overlaps(intervals, start, end, expected):
    assert repeats._overlaps(intervals, start=start, end=end) is expected


@pytest.mark.parametrize("call, error", [
    (lambda: repeats._record_span(b"chr1\t1\t.\tA\t.\t.\t.\t."), TypeError),
    (lambda: repeats._info_end(None), TypeError),
    (lambda: repeats._read_bed_intervals(3), TypeError),
    (lambda: repeats._overlaps([(1, 2, 3)], 0, 5), ValueError),
    (lambda: repeats._overlaps([(1,)], 0, 5), ValueError),
    (lambda: repeats._overlaps([(1, 2)], "0", 5), TypeError),
    (lambda: repeats.filter_repeats_vcf(engine=1), TypeError),
    (lambda: repeats._record_span("x", "y"), TypeError),
])
def test_wrong_arguments_raise(call, error):
    with pytest.raises(error):
        call()


def test_read_bed_intervals_skips_malformed_lines_and_sorts(tmp_path):
    lines = ["track name=x", "browser position chr1", "#c\ts\te", "", "   ",
             "chr1\t300\t400", "chr1\t100\tabc", "chr1\t100\t200\tID=X", "chr1 5 6",
             "chr1\t300\t400", "chr2\t-5\t+7", "chr1\t99999999999999999999\t1"]
    lf = tmp_path / "lf.bed"
    lf.write_text("\n".join(lines) + "\n", encoding="utf-8", newline="")
    crlf = tmp_path / "crlf.bed"
    crlf.write_text("\r\n".join(lines) + "\r\n", encoding="utf-8", newline="")
    expected = {"chr1": [(100, 200), (300, 400), (300, 400)], "chr2": [(-5, 7)]}
    assert repeats._read_bed_intervals(str(lf)) == expected
    assert repeats._read_bed_intervals(bed_path=str(crlf)) == expected
    assert all(type(pair) is tuple for pair in expected["chr1"])


LINES = VCF_TEXT.splitlines(keepends=True)


@pytest.mark.parametrize("name, data", [
    ("plain_named_gz.vcf.gz", VCF_TEXT.encode()),
    ("gzip_named_plain.vcf", gzip.compress(VCF_TEXT.encode())),
    ("many_blocks.vcf.gz", bgzf(VCF_TEXT.encode() * 20, block_size=200)),
    ("crlf.vcf", VCF_TEXT.replace("\n", "\r\n").encode()),
    ("lone_cr.vcf", gzip.compress(VCF_TEXT.replace("\n", "\r").encode())),
])
def test_open_vcf_text_reads_by_content_not_name(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    with repeats._open_vcf_text(str(path)) as stream:
        lines = list(stream)
    repeat = 20 if name.startswith("many") else 1
    assert lines == LINES * repeat


@pytest.mark.parametrize("data, lines", [
    (b"", []),
    (b"#", ["#"]),
    (b"\x1f", ["\x1f"]),   # half the gzip magic is plain text
    (b"a\nb", ["a\n", "b"]),
])
def test_open_vcf_text_short_files_are_plain(tmp_path, data, lines):
    path = tmp_path / "short.vcf"
    path.write_bytes(data)
    with repeats._open_vcf_text(str(path)) as stream:
        assert stream.readlines() == lines


def test_open_vcf_text_stream_interface(tmp_path):
    path = tmp_path / "sample.vcf.gz"
    path.write_bytes(gzip.compress("ab\ncdé\n\nlast".encode()))
    stream = repeats._open_vcf_text(path=str(path))
    assert stream.readline() == "ab\n"
    assert stream.read(2) == "cd"
    assert stream.readline(1) == "é"
    assert stream.readline() == "\n"
    assert next(stream) == "\n"
    assert stream.read() == "last"
    assert stream.readline() == "" and stream.read() == ""
    assert not stream.closed
    stream.close()
    assert stream.closed
    with pytest.raises(ValueError):
        stream.readline()
    with pytest.raises(FileNotFoundError):
        repeats._open_vcf_text(str(tmp_path / "missing.vcf"))


@pytest.mark.parametrize("data, error", [
    (gzip.compress(("x\t1\n" * 50000).encode())[:-30], EOFError),
    (gzip.compress(b"chr1\t\xff\n"), UnicodeDecodeError),
    (b"chr1\t\xe9\n", UnicodeDecodeError),
], ids=["truncated", "gzip_not_utf8", "plain_not_utf8"])
def test_open_vcf_text_damaged_input_raises(tmp_path, data, error):
    path = tmp_path / "bad.vcf"
    path.write_bytes(data)
    with pytest.raises(error):
        with repeats._open_vcf_text(str(path)) as stream:
            for _ in stream:
                pass
