"""Faults injected from outside: a full device, failing external programs,
unreadable, damaged and directory inputs. Whatever happens, the caller gets
the error, the inputs are intact, no temporary file is left, and nothing
reports success."""
import errno
import gzip
import logging
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from Merivane import cli, compression, repeats, unifier
from reliability_helpers import (
    AS_ROOT,
    CATALOG_TEXT,
    REPEAT_TEXT,
    SORT_BANNER,
    SV_TEXT,
    contents,
    names_in,
    on_full_device,
    with_fake_tools,
)

needs_full_device = pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full")
needs_bedtools = pytest.mark.skipif(not repeats.bedtools_available(), reason="bedtools is not installed")
# Root reads files whatever their permissions; it is bound by them again
# once it gives up the capabilities that override them.
SETPRIV = shutil.which("setpriv")
DROP_OVERRIDES = ["--inh-caps=-dac_override,-dac_read_search", "--bounding-set=-dac_override,-dac_read_search"]

SUCCESS_MESSAGES = (
    "Created unified vcf file at",
    "Wrote sorted, bgzipped VCF to",
    "Repeat records kept:",
)


@pytest.fixture
def work(tmp_path, caplog, temp_dir):
    """A run directory with the inputs, and a temporary directory of its own
    so that anything left behind there is seen."""
    caplog.set_level(logging.INFO)
    run = tmp_path / "run"
    run.mkdir()
    (run / "sv.vcf").write_text(SV_TEXT)
    (run / "repeats.vcf").write_text(REPEAT_TEXT)
    (run / "loci.bed").write_text(CATALOG_TEXT)

    class Work:
        dir = run
        tmp = temp_dir
        sv = str(run / "sv.vcf")
        repeats = str(run / "repeats.vcf")
        bed = str(run / "loci.bed")
        before = contents(sv, repeats, bed)

        def assert_left_alone(self, *extra_names, completed=()):
            """Inputs unchanged, only `extra_names` added, no temporary file,
            and no step but those `completed` logged its success."""
            assert contents(self.sv, self.repeats, self.bed) == self.before
            assert names_in(self.dir) == sorted(["sv.vcf", "repeats.vcf", "loci.bed", *extra_names])
            assert names_in(self.tmp) == []
            logged = [r.getMessage() for r in caplog.records]
            claimed = [m for m in logged if m.startswith(SUCCESS_MESSAGES) and not m.startswith(completed)]
            assert not claimed, logged

    return Work()


# -- A destination on a full device ------------------------------------------

FULL_DEVICE_CALLS = {
    "write_bgzf": lambda w, out: compression.write_bgzf(w.sv, out),
    "sort_and_compress_in_memory": lambda w, out: compression.sort_and_compress(
        w.sv, out, engine=compression.PYTHON_SORT
    ),
    "sort_and_compress_gnu_sort": lambda w, out: compression.sort_and_compress(
        w.sv, out, engine=compression.GNU_SORT
    ),
    "unify_lines": lambda w, out: unifier.unify_lines(
        {unifier.SV: unifier.get_lines(w.sv), unifier.REPEATS: unifier.get_lines(w.repeats)}, out
    ),
    "filter_builtin": lambda w, out: repeats.filter_repeats_vcf(w.repeats, w.bed, repeats.BUILTIN, out),
    "filter_bedtools": lambda w, out: repeats.filter_repeats_vcf(w.repeats, w.bed, repeats.BEDTOOLS, out),
    "dragen_unify": lambda w, out: cli.dragen_unify(out, sv_path=w.sv),
}


@needs_full_device
@pytest.mark.parametrize("call", FULL_DEVICE_CALLS.values(), ids=FULL_DEVICE_CALLS.keys())
def test_output_on_a_full_device_raises_no_space(work, call, request):
    if "bedtools" in request.node.name and not repeats.bedtools_available():
        pytest.skip("bedtools is not installed")
    if "gnu_sort" in request.node.name and not compression.gnu_sort_available():
        pytest.skip("GNU sort is not installed")
    out = on_full_device(work.dir / "out")
    with pytest.raises(OSError) as raised:
        call(work, out)
    assert raised.value.errno == errno.ENOSPC
    work.assert_left_alone("out")


@needs_full_device
@pytest.mark.parametrize("engine", ["python_sort", "gnu_sort"])
def test_link_at_the_sorted_temporary_name_is_not_used(work, engine):
    if engine == "gnu_sort" and not compression.gnu_sort_available():
        pytest.skip("GNU sort is not installed")
    link = on_full_device(work.dir / "sv.vcf.sorted.tmp")
    # The sorted intermediate has a name of its own for each call.
    assert compression.sort_and_compress(work.sv, engine=engine) == work.sv + ".gz"
    assert os.readlink(link) == "/dev/full"
    assert names_in(work.dir) == sorted(["sv.vcf.gz", "sv.vcf.sorted.tmp", "repeats.vcf", "loci.bed"])


# -- External programs that fail ----------------------------------------------

FAILING_SORTS = {
    "exits_with_an_error": ("exit 3\n", 3),
    "reads_then_fails": ("cat >/dev/null; echo 'sort: write failed' >&2; exit 2\n", 2),
    "killed": ("kill -9 $$\n", -9),
    "half_written": ("head -c 100; exit 1\n", 1),
}


@pytest.mark.parametrize("engine", [None, "gnu_sort"], ids=["default_engine", "forced"])
@pytest.mark.parametrize("body, returncode", FAILING_SORTS.values(), ids=FAILING_SORTS.keys())
def test_failing_sort_leaves_no_output(work, tmp_path, monkeypatch, body, returncode, engine):
    with_fake_tools(monkeypatch, tmp_path, sort=SORT_BANNER + body)
    with pytest.raises(subprocess.CalledProcessError) as raised:
        compression.sort_and_compress(work.sv, engine=engine)
    assert raised.value.returncode == returncode
    assert raised.value.cmd[1:] == ["-k1,1", "-k2,2n"]
    work.assert_left_alone()


def test_failing_sort_through_a_front_door_keeps_the_unified_file(work, tmp_path, monkeypatch):
    with_fake_tools(monkeypatch, tmp_path, sort=SORT_BANNER + "kill -9 $$\n")
    with pytest.raises(subprocess.CalledProcessError):
        cli.dragen_unify(str(work.dir / "unified.vcf"), sv_path=work.sv)
    # Unified but not sorted: the plain file stays, and there is no .gz.
    work.assert_left_alone("unified.vcf", completed=("Created unified vcf file at",))


FAILING_BEDTOOLS = {
    "exits_with_an_error": ("exit 1\n", 1),
    "writes_then_fails": ("echo '##partial'; exit 4\n", 4),
    "killed": ("kill -9 $$\n", -9),
}


@pytest.mark.parametrize("body, returncode", FAILING_BEDTOOLS.values(), ids=FAILING_BEDTOOLS.keys())
def test_failing_bedtools_raises_with_its_command(work, tmp_path, monkeypatch, body, returncode):
    with_fake_tools(monkeypatch, tmp_path, bedtools=body)
    out = work.dir / "filtered.vcf"
    out.write_text("earlier\n")
    with pytest.raises(subprocess.CalledProcessError) as raised:
        repeats.filter_repeats_vcf(work.repeats, work.bed, None, str(out))
    assert raised.value.returncode == returncode
    assert raised.value.cmd[0] == "bedtools" and work.repeats in raised.value.cmd
    # Whole or nothing: an earlier output is left as it was.
    assert out.read_text() == "earlier\n"
    work.assert_left_alone("filtered.vcf")


def test_failing_bedtools_stops_the_filter_and_unify_door(work, tmp_path, monkeypatch):
    with_fake_tools(monkeypatch, tmp_path, bedtools="exit 1\n")
    with pytest.raises(subprocess.CalledProcessError):
        cli.pacbio_filter_and_unify(
            str(work.dir / "unified.vcf"), sv_path=work.sv, full_repeat_path=work.repeats, repeat_bed_file_path=work.bed
        )
    # Nothing was unified: the repeats must not go in unfiltered.
    work.assert_left_alone()


# -- Inputs that cannot be read -----------------------------------------------

# Each call reads the file at `path`; the other inputs are good ones.
READERS = {
    "get_lines": lambda w, path: unifier.get_lines(path),
    "read_struct_lines": lambda w, path: unifier.read_struct_lines({unifier.CNV: w.sv, unifier.SV: path}),
    "write_bgzf": lambda w, path: compression.write_bgzf(path, str(w.dir / "out.gz")),
    "sort_and_compress": lambda w, path: compression.sort_and_compress(path, str(w.dir / "out.gz")),
    "filter_builtin_vcf": lambda w, path: repeats.filter_repeats_vcf(path, w.bed, repeats.BUILTIN, str(w.dir / "f.vcf")),
    "filter_builtin_bed": lambda w, path: repeats.filter_repeats_vcf(w.repeats, path, repeats.BUILTIN, str(w.dir / "f.vcf")),
    "dragen_unify": lambda w, path: cli.dragen_unify(str(w.dir / "unified.vcf"), sv_path=path),
}

# Runs one of READERS in a child process, root without the override rights.
LOCKED_CALL = """
import pathlib, sys, types
sys.path.insert(0, sys.argv[1])
from test_reliability_faults import READERS
run = pathlib.Path(sys.argv[3])
w = types.SimpleNamespace(dir=run, sv=str(run / "sv.vcf"), repeats=str(run / "repeats.vcf"), bed=str(run / "loci.bed"))
try:
    READERS[sys.argv[2]](w, sys.argv[4])
except PermissionError:
    sys.exit(13)
"""


def read_locked(name, work, path):
    if not AS_ROOT:
        with pytest.raises(PermissionError):
            READERS[name](work, path)
        return
    if SETPRIV is None:
        pytest.skip("running as root without setpriv to give up its override rights")
    tests_dir = str(pathlib.Path(__file__).parent)
    child = subprocess.run(
        [SETPRIV, *DROP_OVERRIDES, sys.executable, "-c", LOCKED_CALL, tests_dir, name, str(work.dir), path],
        capture_output=True,
        text=True,
    )
    if child.returncode != 13 and "setpriv" in child.stderr:
        pytest.skip(f"cannot give up capabilities here: {child.stderr.strip()}")
    assert child.returncode == 13, child.stderr


@pytest.mark.parametrize("name", READERS)
def test_unreadable_input_is_a_permission_error(work, name):
    path = work.dir / "locked.vcf"
    path.write_text(SV_TEXT)
    path.chmod(0)
    try:
        read_locked(name, work, str(path))
    finally:
        path.chmod(0o644)
    assert path.read_text() == SV_TEXT
    work.assert_left_alone("locked.vcf")


@pytest.mark.parametrize("name", READERS)
def test_directory_as_input_is_an_is_a_directory_error(work, name):
    (work.dir / "adir").mkdir()
    with pytest.raises(IsADirectoryError):
        READERS[name](work, str(work.dir / "adir"))
    work.assert_left_alone("adir")


DIRECTORY_DESTINATIONS = {
    "write_bgzf": lambda w, out: compression.write_bgzf(w.sv, out),
    "sort_and_compress": lambda w, out: compression.sort_and_compress(w.sv, out, engine="python_sort"),
    "unify_lines": lambda w, out: unifier.unify_lines({unifier.SV: unifier.get_lines(w.sv)}, out),
    "filter_builtin": lambda w, out: repeats.filter_repeats_vcf(w.repeats, w.bed, repeats.BUILTIN, out),
}


@pytest.mark.parametrize("call", DIRECTORY_DESTINATIONS.values(), ids=DIRECTORY_DESTINATIONS.keys())
def test_directory_as_destination_is_an_is_a_directory_error(work, call):
    (work.dir / "adir").mkdir()
    with pytest.raises(IsADirectoryError):
        call(work, str(work.dir / "adir"))
    assert names_in(work.dir / "adir") == []
    work.assert_left_alone("adir")


# -- Damaged compressed input -------------------------------------------------


def bad_checksum(data):
    return data[:-8] + bytes([data[-8] ^ 0xFF]) + data[-7:]


PACKED = gzip.compress(REPEAT_TEXT.encode())
DAMAGED = {
    "truncated": PACKED[: len(PACKED) // 2],
    "cut_in_trailer": PACKED[:-3],
    "bad_checksum": bad_checksum(PACKED),
    "flipped_deflate_byte": PACKED[:40] + bytes([PACKED[40] ^ 0x55]) + PACKED[41:],
}


@pytest.mark.parametrize("data", DAMAGED.values(), ids=DAMAGED.keys())
def test_damaged_gzip_never_reads_as_a_shorter_text(work, data):
    path = work.dir / "damaged.vcf.gz"
    path.write_bytes(data)
    # The unifier falls back to plain text, which the compressed bytes are not.
    with pytest.raises(UnicodeDecodeError):
        unifier.read_struct_lines({unifier.REPEATS: str(path)})
    # The repeat filter reads by magic bytes and reports the damage itself
    # (damaged deflate data may also inflate to bytes that are not UTF-8).
    with pytest.raises((EOFError, gzip.BadGzipFile, UnicodeDecodeError)) as raised:
        repeats.filter_repeats_vcf(str(path), work.bed, repeats.BUILTIN, str(work.dir / "f.vcf"))
    if data in (DAMAGED["truncated"], DAMAGED["cut_in_trailer"]):
        assert isinstance(raised.value, EOFError)
    assert path.read_bytes() == data
    work.assert_left_alone("damaged.vcf.gz")


def test_zero_length_input_is_empty_not_an_error(work):
    path = work.dir / "empty.vcf.gz"
    path.write_bytes(b"")
    assert unifier.get_lines(str(path)) == []
    assert unifier.read_struct_lines({unifier.SV: str(path)})[unifier.SV] is None
    out = repeats.filter_repeats_vcf(str(path), work.bed, repeats.BUILTIN, str(work.dir / "f.vcf"))
    assert pathlib.Path(out).read_text() == ""
