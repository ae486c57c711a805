import gzip
import logging
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

import Merivane.unifier as unifier
from Merivane.unifier import UnifyOptions
from unifier_helpers import COLUMNS, header, sv_record, write_text

VCF_TEXT = "".join(header("caller") + [sv_record("chr1", 10), sv_record("chr2", 20)])
MISSING = "Can't unify file type \"%s\". The file does not exist."
EMPTY = "Can't unify file type \"%s\". The file is empty or contains only headers."


@pytest.mark.parametrize("how", ["plain", "gzip", "bgzf"])
def test_plain_gzip_and_bgzf_give_the_same_lines(tmp_path, how):
    path = write_text(tmp_path / "in.vcf", VCF_TEXT, how)
    assert unifier.get_lines(path) == VCF_TEXT.splitlines(keepends=True)


@pytest.mark.parametrize("how", ["plain", "gzip"])
def test_carriage_returns_read_as_line_feeds(tmp_path, how):
    path = write_text(tmp_path / "in.vcf", "a\r\nb\rc\nd", how)
    assert unifier.get_lines(path) == ["a\n", "b\n", "c\n", "d"]


def test_gzip_text_is_decoded_as_utf8(tmp_path):
    path = write_text(tmp_path / "in.vcf.gz", "##note=café ✓\n", "gzip")
    assert unifier.get_lines(path) == ["##note=café ✓\n"]


@pytest.mark.parametrize("data", [
    gzip.compress("##note=café\n".encode("latin-1")),  # not UTF-8 inside gzip
    "##note=café\n".encode("latin-1"),
    gzip.compress(VCF_TEXT.encode() * 200)[:300],  # cut short: never a shorter list
])
def test_undecodable_or_truncated_input_is_an_error(tmp_path, data):
    path = tmp_path / "in.vcf"
    path.write_bytes(data)
    with pytest.raises(UnicodeDecodeError):
        unifier.get_lines(str(path))


# Reads argv[1] in a child interpreter whose address space is limited to
# what it has plus argv[2] MiB, so an input that never ends or inflates to
# far more than that cannot take the test machine's memory with it.
BOUNDED_READ = """
import resource, sys
from Merivane import unifier
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
limit = size + int(sys.argv[2]) * 2**20
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    unifier.get_lines(sys.argv[1])
except BaseException as error:
    print(type(error).__name__)
else:
    print("no error")
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /dev/urandom, /proc and RLIMIT_AS")
@pytest.mark.parametrize("source, error", [
    ("/dev/urandom", "UnicodeDecodeError"),  # binary without end: fails at its first bad bytes
    ("/dev/zero", "UnicodeDecodeError"),  # NUL bytes are no text, however valid as UTF-8
    ("huge.gz", "MemoryError"),  # 512 MiB of text in 0.5 MB: out of memory is no decode error
])
def test_endless_or_oversized_input_fails_fast_in_bounded_memory(tmp_path, source, error):
    if source == "huge.gz":
        source = str(tmp_path / source)
        pathlib.Path(source).write_bytes(gzip.compress(b"A" * (64 << 20), 1) * 8)
    child = subprocess.run([sys.executable, "-c", BOUNDED_READ, source, "256"],
                           capture_output=True, text=True, timeout=60)
    assert child.stdout.strip() == error, child.stderr


READ_UNTIL_INTERRUPTED = """
import sys
from Merivane import unifier
print("reading", flush=True)
try:
    unifier.get_lines(sys.argv[1])
except KeyboardInterrupt:
    print("KeyboardInterrupt")
"""


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
@pytest.mark.parametrize("writer_opens", [True, False], ids=["waiting_in_read", "waiting_in_open"])
def test_ctrl_c_ends_a_read_waiting_on_a_silent_fifo(tmp_path, writer_opens):
    fifo = tmp_path / "silent.vcf"
    os.mkfifo(fifo)
    child = subprocess.Popen([sys.executable, "-c", READ_UNTIL_INTERRUPTED, str(fifo)],
                             stdout=subprocess.PIPE, text=True)
    # Opening returns once the child has opened it too; nothing is written.
    writer = os.open(fifo, os.O_WRONLY) if writer_opens else None
    try:
        assert child.stdout.readline() == "reading\n"
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=10)
    finally:
        child.kill()
        if writer is not None:
            os.close(writer)
    assert out.strip() == "KeyboardInterrupt"


@pytest.mark.parametrize("path, error", [
    ("/nonexistent/dir/in.vcf", FileNotFoundError), (".", IsADirectoryError),
])
def test_unreadable_paths_raise_os_errors_naming_them(path, error):
    with pytest.raises(error) as info:
        unifier.get_lines(path)
    assert info.value.filename == path


def test_path_objects_are_type_errors(tmp_path):
    with pytest.raises(TypeError):
        unifier.get_lines(pathlib.Path(write_text(tmp_path / "a.vcf", VCF_TEXT)))
    with pytest.raises(TypeError):
        unifier.read_struct_lines({unifier.SV: tmp_path / "a.vcf"})


@pytest.mark.parametrize("lines, empty", [
    ([], True),
    (["##meta\n", "\n", "   \n", COLUMNS], True),
    (["##meta\n", "\n", "   \n", COLUMNS, sv_record("chr1", 1)], False),
    (["\u00a0\u3000\n", "\t#indented header\n"], True),
])
def test_is_empty(lines, empty):
    assert unifier.is_empty(lines) is empty
    assert unifier.is_empty(iter(lines)) is empty


def test_is_empty_stops_at_the_first_record():
    def lines():
        yield "chr1\t1\n"
        raise AssertionError("read past the first record")
    assert unifier.is_empty(lines()) is False


@pytest.mark.parametrize("lines, expected", [
    (["##a\n", COLUMNS, "rec\n"], "##a\n" + COLUMNS),
    (["##a\n", "rec\n"], "##a\nrec\n"),
    (["##note=see #CHROM\n", COLUMNS], "##note=see #CHROM\n"),
    ([], ""),
])
def test_vcf_header_from_lines(lines, expected):
    assert unifier.vcf_header_from_lines(lines) == expected
    assert unifier.vcf_header_from_lines(vcf_lines=iter(lines)) == expected


def warnings_of(caplog):
    return [(r.levelno, r.msg, r.args) for r in caplog.records if r.levelno >= logging.WARNING]


def test_no_inputs_gives_four_warnings_in_kind_order(caplog):
    result = unifier.read_struct_lines({})
    assert result == {"sv": None, "cnv": None, "repeats": None, "roh": None}
    assert list(result) == list(unifier.FILE_TYPES)
    assert warnings_of(caplog) == [(logging.WARNING, MISSING, (kind,)) for kind in unifier.FILE_TYPES]


def test_header_only_inputs_are_left_out_and_others_read(tmp_path, caplog):
    files = {
        unifier.SV: write_text(tmp_path / "sv.vcf", VCF_TEXT, "bgzf"),
        unifier.CNV: write_text(tmp_path / "cnv.vcf", "".join(header("cnv")) + "\n"),
        unifier.ROH: write_text(tmp_path / "roh.bed", ""),
        "extra": 42,  # keys other than the four kinds are never looked at
    }
    result = unifier.read_struct_lines(files, None)
    assert result["sv"] == VCF_TEXT.splitlines(keepends=True)
    assert result["cnv"] is None and result["roh"] is None and result["repeats"] is None
    assert warnings_of(caplog) == [(logging.WARNING, EMPTY, ("cnv",)), (logging.WARNING, MISSING, ("repeats",)),
                                   (logging.WARNING, EMPTY, ("roh",))]


def test_fully_filtered_sv_input_reports_then_warns(tmp_path, caplog):
    caplog.set_level(logging.INFO)
    text = "".join(header("pbsv") + [sv_record("chr1", 1, "InvBreakpoint")])
    files = {unifier.SV: write_text(tmp_path / "sv.vcf", text)}
    result = unifier.read_struct_lines(files, UnifyOptions(drop_sv_filters=["InvBreakpoint"]))
    assert result["sv"] is None
    assert [(r.levelno, r.msg, r.args) for r in caplog.records][:2] == [
        (logging.INFO, "Filtered %d SV records with FILTER in %s from the unified VCF", (1, ["InvBreakpoint"])),
        (logging.WARNING, EMPTY, ("sv",)),
    ]


@pytest.mark.parametrize("options", [None, 0, UnifyOptions()])
def test_default_options_filter_nothing(tmp_path, options):
    text = "".join(header("pbsv") + [sv_record("chr1", 1, "InvBreakpoint")])
    result = unifier.read_struct_lines({unifier.SV: write_text(tmp_path / "sv.vcf", text)}, options)
    assert result["sv"] == text.splitlines(keepends=True)


def test_a_given_path_naming_no_file_stops_the_reading(tmp_path, caplog):
    files = {unifier.CNV: str(tmp_path / "missing.vcf"), unifier.REPEATS: write_text(tmp_path / "r.vcf", VCF_TEXT)}
    with pytest.raises(FileNotFoundError):
        unifier.read_struct_lines(files)
    assert warnings_of(caplog) == [(logging.WARNING, MISSING, ("sv",))]


def test_options_of_another_type_are_refused():
    with pytest.raises(TypeError):
        unifier.read_struct_lines({}, {"drop_sv_filters": ["x"]})


def test_reading_looks_its_steps_up_on_the_module(monkeypatch, caplog):
    calls = []
    sv_lines = ["##h\n", sv_record("chr1", 1, "Drop"), sv_record("chr1", 2)]

    def fake_get_lines(path):
        calls.append(("get_lines", path))
        return list(sv_lines)

    def fake_drop(lines, tokens):
        calls.append(("drop", tokens))
        return lines[:2]

    def fake_is_empty(lines):
        calls.append(("is_empty", len(lines)))
        return False

    monkeypatch.setattr(unifier, "get_lines", fake_get_lines)
    monkeypatch.setattr(unifier, "drop_sv_records_by_filter", fake_drop)
    monkeypatch.setattr(unifier, "is_empty", fake_is_empty)
    tokens = ("Drop",)
    result = unifier.read_struct_lines({unifier.SV: "sv.vcf", unifier.ROH: "roh.bed"}, UnifyOptions(drop_sv_filters=tokens))
    assert result["sv"] == sv_lines[:2]
    assert result["roh"] == sv_lines
    assert calls == [("get_lines", "sv.vcf"), ("drop", tokens), ("is_empty", 2),
                     ("get_lines", "roh.bed"), ("is_empty", 3)]
    assert calls[1][1] is tokens


def test_one_patched_step_leaves_the_others_in_place(monkeypatch, tmp_path):
    monkeypatch.setattr(unifier, "is_empty", lambda lines: len(lines) < 3)
    text = "".join(header("pbsv") + [sv_record("chr1", 1, "InvBreakpoint"), sv_record("chr1", 2)])
    files = {unifier.SV: write_text(tmp_path / "sv.vcf", text), unifier.CNV: write_text(tmp_path / "c.vcf", "a\nb\n")}
    result = unifier.read_struct_lines(files, UnifyOptions(drop_sv_filters=["InvBreakpoint"]))
    assert result["sv"] == text.splitlines(keepends=True)[:-2] + [sv_record("chr1", 2)]
    assert result["cnv"] is None
