"""Operating as a pipeline does: retried and killed jobs, shared directories,
broken tools on the PATH, an unusable TMPDIR, a full disk. Outputs appear
whole or not at all, temporaries do not outlive the process, and a wrong
result from an external program is an error, never a success."""
import gzip
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

from Merivane import cli, compression, repeats
from reliability_helpers import AS_ROOT, HEADER, REPEAT_TEXT, SORT_BANNER, names_in, record, with_fake_tools

needs_gnu_sort = pytest.mark.skipif(not compression.gnu_sort_available(), reason="no GNU sort installed")

# Large enough that compressing it takes a moment to catch.
BIG_TEXT = HEADER + "".join(record(f"chr{1 + i % 5}", 1_000_000 - i * 3) for i in range(250_000))
GOOD_GZ = gzip.compress(b"an earlier, complete output\n")

# Runs sort_and_compress in a child interpreter, to be killed at a chosen moment.
SORT_AND_COMPRESS = """
import sys
from Merivane import compression
compression.sort_and_compress(sys.argv[1], keep_plain=True, engine=sys.argv[2])
"""


def wait_for(condition, what, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"timed out waiting for {what}")
        time.sleep(0.005)


def writing_into(pid, directory):
    """Whether process `pid` has a new file open for writing in `directory`
    (nameless, or a ".part" one)."""
    try:
        links = [os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")]
    except OSError:
        return False
    return any(link.startswith(f"{directory}/") and ("/#" in link or ".part" in link) for link in links)


def nameless_files_in(directory):
    """Whether the file system of `directory` has nameless files (O_TMPFILE)."""
    try:
        os.close(os.open(directory, os.O_TMPFILE | os.O_WRONLY, 0o600))
        return True
    except (AttributeError, OSError):
        return False


def running(pid):
    """Whether a process runs (a zombie waiting to be reaped does not)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (FileNotFoundError, ProcessLookupError):
        return False


@pytest.fixture
def run_dir(tmp_path, temp_dir):
    """A run directory, and a TMPDIR of its own so that leftovers show."""
    run = tmp_path / "run"
    run.mkdir()
    return run


def test_killed_compression_leaves_the_earlier_output(run_dir):
    vcf = run_dir / "u.vcf"
    vcf.write_text(BIG_TEXT)
    gz = run_dir / "u.vcf.gz"
    gz.write_bytes(GOOD_GZ)
    child = subprocess.Popen([sys.executable, "-c", SORT_AND_COMPRESS, str(vcf), compression.PYTHON_SORT])
    try:
        # The new output is being written beside the old one.
        wait_for(lambda: writing_into(child.pid, run_dir), "compression to start")
    finally:
        child.kill()
        child.wait()
    assert gz.read_bytes() == GOOD_GZ
    assert vcf.read_text() == BIG_TEXT
    assert names_in(run_dir.parent / "tmp") == []
    if nameless_files_in(run_dir):
        assert names_in(run_dir) == ["u.vcf", "u.vcf.gz"]


@needs_gnu_sort
def test_killed_during_gnu_sort_leaves_no_temporaries_and_no_sort(run_dir, tmp_path, monkeypatch):
    pid_file = tmp_path / "sort.pid"
    with_fake_tools(monkeypatch, tmp_path, sort=SORT_BANNER + f'echo $$ > "{pid_file}"\nexec sleep 60\n')
    vcf = run_dir / "u.vcf"
    vcf.write_text(BIG_TEXT)
    child = subprocess.Popen([sys.executable, "-c", SORT_AND_COMPRESS, str(vcf), compression.GNU_SORT])
    try:
        wait_for(lambda: pid_file.exists() and pid_file.read_text().strip(), "sort to start")
    finally:
        child.kill()
        child.wait()
    sort_pid = int(pid_file.read_text())
    wait_for(lambda: not running(sort_pid), "the orphaned sort to die", timeout=5)
    assert names_in(run_dir.parent / "tmp") == []
    if nameless_files_in(run_dir):
        assert names_in(run_dir) == ["u.vcf"]


def test_a_retried_run_on_the_same_output_gives_a_whole_file(run_dir, tmp_path):
    sv = tmp_path / "sv.vcf"
    sv.write_text(BIG_TEXT)
    out = run_dir / "u.vcf"
    door = "import sys\nfrom Merivane import cli\ncli.dragen_unify(sys.argv[1], sv_path=sys.argv[2])\n"
    first = subprocess.Popen([sys.executable, "-c", door, str(out), str(sv)])
    # The retry starts while the first run is compressing.
    wait_for(lambda: writing_into(first.pid, run_dir) or os.path.exists(run_dir / "u.vcf.gz") or first.poll() is not None,
             "the first run to write")
    second = subprocess.Popen([sys.executable, "-c", door, str(out), str(sv)])
    assert (first.wait(), second.wait()) == (0, 0)
    records = gzip.decompress((run_dir / "u.vcf.gz").read_bytes()).decode().splitlines()
    assert len(records) == BIG_TEXT.count("\n")
    assert names_in(run_dir) == ["u.vcf.gz"]


PLANTED = {
    ".gz": lambda run, out, sv: cli.dragen_unify(out, sv_path=sv),
    ".sorted.tmp": lambda run, out, sv: cli.dragen_unify(out, sv_path=sv),
    "_filtered.vcf": lambda run, out, sv: cli.pacbio_filter_and_unify(
        out, sv_path=sv, full_repeat_path=str(run / "rep.vcf"), repeat_bed_file_path=str(run / "loci.bed")
    ),
}


@pytest.mark.parametrize("suffix", PLANTED)
def test_a_planted_link_is_never_written_through(run_dir, tmp_path, suffix):
    victim = tmp_path / "victim"
    victim.write_text("someone else's file\n")
    sv = run_dir / "sv.vcf"
    sv.write_text(HEADER + record("chr1", 5))
    (run_dir / "rep.vcf").write_text(REPEAT_TEXT)
    (run_dir / "loci.bed").write_text("chr1\t0\t5000\n")
    link = run_dir / ("rep" + suffix if suffix == "_filtered.vcf" else "u.vcf" + suffix)
    link.symlink_to(victim)
    result = PLANTED[suffix](run_dir, str(run_dir / "u.vcf"), str(sv))
    assert result == str(run_dir / "u.vcf.gz")
    assert victim.read_text() == "someone else's file\n"


LYING_SORTS = {
    "drops_a_line": 'sort "$@" | sed 1d',
    "duplicates_a_line": 'sort "$@" | sed 1p',
    "unsorted": "cat",
    "invalid_utf8": "sort \"$@\" | sed '1s/chr/\\xff/'",
}


@needs_gnu_sort
@pytest.mark.parametrize("body", LYING_SORTS.values(), ids=LYING_SORTS.keys())
def test_a_sort_that_exits_0_with_a_wrong_result_fails_the_run(run_dir, tmp_path, monkeypatch, body):
    real = os.path.dirname(shutil.which("sort"))
    with_fake_tools(monkeypatch, tmp_path, sort=SORT_BANNER + f'PATH="{real}"\n' + body + "\n")
    sv = run_dir / "sv.vcf"
    sv.write_text(HEADER + "".join(record(f"chr{i % 3}", 1000 - i) for i in range(50)))
    with pytest.raises(RuntimeError, match=r"GNU sort \(.*\).*; the sorted result was not used$"):
        cli.dragen_unify(str(run_dir / "u.vcf"), sv_path=str(sv))
    assert sorted(names_in(run_dir)) == ["sv.vcf", "u.vcf"]
    assert names_in(run_dir.parent / "tmp") == []


def test_a_bedtools_that_exits_0_with_truncated_output_fails_the_run(run_dir, tmp_path, monkeypatch):
    with_fake_tools(monkeypatch, tmp_path, bedtools="head -c 20 \"$4\"\n")
    (run_dir / "rep.vcf").write_text(REPEAT_TEXT)
    (run_dir / "loci.bed").write_text("chr1\t0\t5000\n")
    with pytest.raises(RuntimeError, match="^bedtools exited 0, but its output does not begin with the 2 header"):
        repeats.filter_repeats_vcf(str(run_dir / "rep.vcf"), str(run_dir / "loci.bed"), repeats.BEDTOOLS)
    assert names_in(run_dir) == ["loci.bed", "rep.vcf"]


@needs_gnu_sort
def test_an_unwritable_tmpdir_falls_back_to_the_next_candidate(tmp_path, monkeypatch):
    temp = tmp_path / "temp"
    temp.mkdir()
    # Not even root can create a file in /proc.
    monkeypatch.setenv("TMPDIR", "/proc")
    monkeypatch.setenv("TEMP", str(temp))
    assert compression.sort_vcf_lines(["c\t2\n", "c\t1\n"], compression.GNU_SORT) == ["c\t1\n", "c\t2\n"]
    assert names_in(temp) == []


@pytest.fixture
def small_disk(tmp_path):
    """A 1 MiB tmpfs, mounted where root may mount one."""
    mount = shutil.which("mount")
    point = tmp_path / "disk"
    point.mkdir()
    if not AS_ROOT or mount is None:
        pytest.skip("mounting a tmpfs needs root")
    done = subprocess.run([mount, "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(point)], capture_output=True)
    if done.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {done.stderr.decode().strip()}")
    yield point
    subprocess.run(["umount", str(point)], check=False)


def test_a_full_disk_leaves_the_earlier_output(small_disk, tmp_path):
    vcf = tmp_path / "u.vcf"
    vcf.write_text(BIG_TEXT)
    gz = small_disk / "u.vcf.gz"
    gz.write_bytes(GOOD_GZ)
    with pytest.raises(OSError) as raised:
        compression.sort_and_compress(str(vcf), str(gz), engine=compression.PYTHON_SORT)
    assert raised.value.errno == 28  # ENOSPC
    assert raised.value.filename == str(gz)
    assert gz.read_bytes() == GOOD_GZ
    assert names_in(small_disk) == ["u.vcf.gz"]
    assert vcf.read_text() == BIG_TEXT


# Compresses into a folder that takes no new file, as a user who may not override that.
INTO_A_CLOSED_FOLDER = """
import sys
from Merivane import compression
try:
    compression.write_bgzf(sys.argv[1], sys.argv[2])
except PermissionError as error:
    print(error.errno, error.filename)
"""


def test_a_folder_that_takes_no_new_file_is_named_and_the_earlier_output_kept(tmp_path):
    from test_reliability_faults import DROP_OVERRIDES, SETPRIV

    if AS_ROOT and SETPRIV is None:
        pytest.skip("running as root without setpriv to give up its override rights")
    vcf = tmp_path / "u.vcf"
    vcf.write_text(HEADER + record("chr1", 5))
    folder = tmp_path / "closed"
    folder.mkdir()
    gz = folder / "u.vcf.gz"
    gz.write_bytes(GOOD_GZ)
    gz.chmod(0o666)
    folder.chmod(0o555)
    drop = [SETPRIV, *DROP_OVERRIDES] if AS_ROOT else []
    try:
        child = subprocess.run([*drop, sys.executable, "-c", INTO_A_CLOSED_FOLDER, str(vcf), str(gz)],
                               capture_output=True, text=True)
    finally:
        folder.chmod(0o755)
    assert child.stdout.split() == ["13", str(folder)], child.stderr  # EACCES
    assert gz.read_bytes() == GOOD_GZ
    assert names_in(folder) == ["u.vcf.gz"]
