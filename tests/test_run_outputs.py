"""Every file a merivane run writes (the VCF, its index, the statistics and
MultiQC's files, a stream) is one of its outputs: checked before anything is
written, whole or nothing, and never put over an input or another output."""
import errno
import gzip
import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import sysconfig
import threading
import time
from pathlib import Path

import pytest

from Merivane import cli, repeats, unifier

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX streams, FIFOs and devices")

MERIVANE = str(Path(sysconfig.get_path("scripts")) / "merivane")
EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
MQC = ("summary", "sources", "svtypes")


def run(*arguments, cwd, **options):
    options.setdefault("stdout", subprocess.PIPE)
    return subprocess.run([MERIVANE, *map(str, arguments)], cwd=cwd, stderr=subprocess.PIPE, **options)


def error_line(result):
    assert result.returncode == 1, result.stderr
    lines = result.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("merivane: error: "), result.stderr
    return lines[0]


def tree(folder):
    """Every file under `folder` with its bytes."""
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(Path(folder).rglob("*")) if p.is_file()}


@pytest.fixture
def folder(tmp_path):
    """The run's folder, alone in a folder of its own."""
    work = tmp_path / "work"
    work.mkdir()
    shutil.copy(EXAMPLES / "pacbio" / "HG003.sv.vcf", work / "sv.vcf")
    shutil.copy(EXAMPLES / "pacbio" / "HG003.trgt.vcf", work / "trgt.vcf")
    shutil.copy(repeats.default_repeat_catalog_path(), work / "cat.bed")
    return work


# ---- the statistics file and MultiQC's --------------------------------------

PACBIO = ["pacbio", "-o", "o.vcf", "-s", "sv.vcf", "-r", "trgt.vcf", "-b", "cat.bed", "--index", "tbi"]


@pytest.mark.parametrize("stats", ["sv.vcf", "trgt.vcf", "cat.bed", "o.vcf", "o.vcf.gz", "o.vcf.gz.tbi",
                                   "trgt_filtered.vcf", "./o.vcf.gz"])
def test_statistics_naming_a_file_of_the_run_are_refused_before_anything_is_written(folder, stats):
    assert run(*PACBIO, cwd=folder).returncode == 0
    before = tree(folder)
    result = run(*PACBIO, "--stats", stats, cwd=folder)
    assert "would replace the" in error_line(result) and "choose another stats" in error_line(result)
    assert tree(folder) == before


def test_statistics_and_multiqc_files_are_readable_by_others_and_describe_the_run(folder):
    result = run(*PACBIO, "--stats", "run.json", cwd=folder)
    assert result.returncode == 0, result.stderr
    document = json.loads((folder / "run.json").read_text())
    assert document["output"]["path"] == "o.vcf.gz"
    assert document["command"].startswith("merivane pacbio -o o.vcf")
    assert document["output"]["bytes"] == (folder / "o.vcf.gz").stat().st_size
    umask = os.umask(0)
    os.umask(umask)
    for name in ["run.json", *(f"run.{section}_mqc.json" for section in MQC)]:
        assert stat.S_IMODE((folder / name).stat().st_mode) == 0o666 & ~umask, name
    summary = json.loads((folder / "run.summary_mqc.json").read_text())
    assert summary["data"]["o"]["kept"] == document["output"]["records"]
    assert not [p.name for p in folder.iterdir() if ".merivane-" in p.name]


def test_a_fifo_as_statistics_file_gets_the_document_and_stays_a_fifo(folder):
    fifo = folder / "stats.fifo"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    result = run(*PACBIO, "--stats", fifo, cwd=folder)
    reader.join(timeout=60)
    assert result.returncode == 0, result.stderr
    assert stat.S_ISFIFO(fifo.lstat().st_mode)
    assert json.loads(received[0])["output"]["path"] == "o.vcf.gz"
    assert not list(folder.glob("stats*_mqc.json"))


def test_dev_null_as_statistics_file_is_written_through(folder, tmp_path):
    # Root could replace the machine's /dev/null: the run gets a private copy of /dev.
    check = (f'"{MERIVANE}" {" ".join(PACBIO)} --stats /dev/null && test -c /dev/null && '
             '! ls /dev/null.* 2>/dev/null')
    if os.geteuid() == 0:
        if shutil.which("unshare") is None:
            pytest.skip("no unshare to give the run a private /dev")
        (tmp_path / "dev").mkdir()
        check = (f"mount -t tmpfs tmpfs {tmp_path}/dev && cp -a /dev/. {tmp_path}/dev/ && "
                 f"mount --bind {tmp_path}/dev /dev && {check}")
        command = ["unshare", "--mount", "--propagation", "private", "sh", "-c", check]
        probe = subprocess.run(["unshare", "--mount", "true"], capture_output=True)
        if probe.returncode != 0:
            pytest.skip(f"no private mount namespace here: {probe.stderr.decode().strip()}")
    else:
        command = ["sh", "-c", check]
    result = subprocess.run(command, cwd=folder, capture_output=True)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("stats, said", [
    ("nodir/s.json", "nodir/s.json: No such file or directory"),
    ("", "'': No such file or directory"),
    (".", ".: Is a directory"),
    ("adir", "adir: Is a directory"),
])
def test_statistics_that_cannot_be_written_fail_before_the_output_is_replaced(folder, stats, said):
    (folder / "adir").mkdir()
    assert run(*PACBIO, cwd=folder).returncode == 0
    before = tree(folder)
    result = run(*PACBIO, "--stats", stats, "--no-version", cwd=folder)
    assert error_line(result).endswith(said)
    # Nor anything beside the folder (a temporary of '' or . would go there).
    assert tree(folder.parent) == {str(Path(folder.name) / k): v for k, v in before.items()}


def test_a_statistics_file_in_a_read_only_folder_fails_before_the_output_is_replaced(folder):
    prefix = []
    if os.geteuid() == 0:
        # Root writes anywhere until it gives up the capabilities that let it.
        if shutil.which("setpriv") is None:
            pytest.skip("running as root without setpriv to give up its override rights")
        prefix = ["setpriv", "--inh-caps=-dac_override", "--bounding-set=-dac_override"]
    locked = folder / "locked"
    locked.mkdir()
    assert run(*PACBIO, cwd=folder).returncode == 0
    before = tree(folder)
    locked.chmod(0o555)
    try:
        result = subprocess.run([*prefix, MERIVANE, *PACBIO, "--stats", "locked/s.json"], cwd=folder,
                                capture_output=True)
    finally:
        locked.chmod(0o755)
    if prefix and b"setpriv" in result.stderr:
        pytest.skip(f"cannot give up capabilities here: {result.stderr.decode().strip()}")
    assert error_line(result).endswith("locked/s.json: Permission denied")
    assert tree(folder) == before


# ---- standard output --------------------------------------------------------


def big_sv(folder, records=40_000):
    lines = (EXAMPLES / "dragen" / "NA12878.sv.vcf").read_text().splitlines(keepends=True)
    header = "".join(line for line in lines if line.startswith("#"))
    body = "".join(f"chr1\t{i}\t.\tN\t<DEL>\t.\tPASS\tEND={i + 9}\tGT\t0/1\n" for i in range(1, records + 1))
    (folder / "big.vcf").write_text(header + body)
    return "big.vcf"


@pytest.mark.parametrize("unbuffered", ["", "1"], ids=["buffered", "unbuffered"])
def test_a_reader_that_stops_early_is_a_failure_however_python_buffers(folder, unbuffered):
    sv = big_sv(folder, records=5_000)
    result = subprocess.run(f'"{MERIVANE}" dragen -o - -s {sv} --level 0 | head -c 100 >/dev/null; '
                            'exit "${PIPESTATUS[0]}"', shell=True, executable="/bin/bash", cwd=folder,
                            stderr=subprocess.PIPE, env=dict(os.environ, PYTHONUNBUFFERED=unbuffered))
    assert error_line(result) == "merivane: error: standard output was closed before the whole VCF was written"


def test_a_non_blocking_slow_reader_gets_every_byte(folder):
    sv = big_sv(folder)
    assert run("dragen", "-o", "o.vcf", "-s", sv, "--level", "0", "--no-version", cwd=folder).returncode == 0
    expected = (folder / "o.vcf.gz").read_bytes()
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    with subprocess.Popen([MERIVANE, "dragen", "-o", "-", "-s", sv, "--level", "0", "--no-version"], cwd=folder,
                          stdout=write_end, stderr=subprocess.PIPE) as child:
        os.close(write_end)
        received = bytearray()
        with os.fdopen(read_end, "rb", buffering=0) as pipe:
            while chunk := pipe.read(4096):
                received += chunk
                time.sleep(0.0005)
        assert (child.wait(timeout=120), child.stderr.read()) == (0, b"")
    assert bytes(received) == expected


@pytest.mark.parametrize("output", ["-", "o.vcf"])
def test_a_closed_standard_output_fails_before_anything_is_written(folder, output):
    result = subprocess.run(f'"{MERIVANE}" dragen -o {output} -s sv.vcf >&-', shell=True, cwd=folder,
                            stderr=subprocess.PIPE)
    assert "standard output is closed" in error_line(result)
    assert sorted(p.name for p in folder.iterdir()) == ["cat.bed", "sv.vcf", "trgt.vcf"]


def test_a_terminal_named_by_path_is_refused_as_standard_output_is(folder):
    import pty  # POSIX only

    leader, follower = pty.openpty()
    try:
        result = run("dragen", "-o", os.ttyname(follower), "-s", "sv.vcf", cwd=folder)
    finally:
        os.close(leader)
        os.close(follower)
    assert result.returncode == 2
    assert b"writes compressed data, not to a terminal" in result.stderr


def test_a_stream_stopped_by_a_signal_leaves_no_statistics(folder):
    # The reader takes nothing, so the run blocks on the full pipe.
    with subprocess.Popen([MERIVANE, "dragen", "-o", "-", "-s", big_sv(folder), "--level", "0", "--stats",
                           "st.json"], cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as child:
        time.sleep(3)
        child.send_signal(signal.SIGINT)
        assert child.wait(timeout=60) == 130
        assert child.stderr.read().decode().splitlines() == ["merivane: interrupted"]
    assert not [p.name for p in folder.iterdir() if p.name.startswith("st.")]


def test_a_stream_statistics_file_is_committed_with_the_data(folder):
    with open(folder / "o.gz", "wb") as out:
        result = run("dragen", "-o", "-", "-s", "sv.vcf", "--stats", "st.json", cwd=folder, stdout=out)
    assert result.returncode == 0, result.stderr
    document = json.loads((folder / "st.json").read_text())
    assert document["output"]["path"] == "-"
    assert document["output"]["bytes"] == (folder / "o.gz").stat().st_size
    assert "st" in json.loads((folder / "st.summary_mqc.json").read_text())["data"]
    refused = run("dragen", "-o", "-", "-s", "sv.vcf", "--stats", "/dev/stdout", cwd=folder)
    assert "would replace the output file" in error_line(refused)


# ---- folders left as found --------------------------------------------------


def test_nothing_to_unify_leaves_an_earlier_file_as_it_was(folder):
    (folder / "o.vcf").write_text("kept\n")
    (folder / "empty.vcf").write_text("##fileformat=VCFv4.2\n")
    before = tree(folder)
    result = run("dragen", "-o", "o.vcf", "-s", "empty.vcf", cwd=folder)
    assert result.returncode == 1 and b"error: nothing to unify" in result.stderr
    assert tree(folder) == before


def test_a_repeat_vcf_from_a_pipe_is_filtered_into_the_current_folder(folder):
    with open(folder / "trgt.vcf", "rb") as piped, open(folder / "o.gz", "wb") as out:
        result = run("pacbio", "-o", "-", "-r", "/dev/stdin", "-b", "cat.bed", cwd=folder, stdin=piped, stdout=out)
    assert result.returncode == 0, result.stderr
    assert (folder / "stdin_filtered.vcf").is_file()
    assert not os.path.lexists("/dev/stdin_filtered.vcf")


def test_a_failed_index_leaves_no_file(folder):
    far = f"chr1\t{2**29 + 1}\t.\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL;END={2**29 + 9}\tGT\t0/1\n"
    (folder / "far.vcf").write_text((folder / "sv.vcf").read_text() + far)
    with pytest.raises(ValueError):
        cli.dragen_unify(str(folder / "o.vcf"), str(folder / "far.vcf"), index="tbi")
    assert not list(folder.glob("o.*"))
    error_line(run("dragen", "-o", "o.vcf", "-s", "far.vcf", "--index", "tbi", cwd=folder))
    assert not list(folder.glob("o.*"))


# ---- the doors' keywords ----------------------------------------------------


def test_an_empty_output_path_is_a_missing_file_and_writes_nothing(folder, monkeypatch):
    monkeypatch.chdir(folder)
    before = tree(folder)
    with pytest.raises(FileNotFoundError):
        cli.dragen_unify("", "sv.vcf")
    result = subprocess.run([MERIVANE + "-dragen", "-o", "", "-s", "sv.vcf"], cwd=folder, capture_output=True)
    assert result.returncode == 1
    assert result.stderr.decode().endswith("merivane: error: '': No such file or directory\n")
    assert tree(folder) == before


def test_merge_headers_must_be_a_bool_and_a_failed_run_leaves_the_stats_dict_alone(folder):
    with pytest.raises(TypeError, match="merge_headers must be a bool"):
        cli.dragen_unify(str(folder / "o.vcf"), str(folder / "sv.vcf"), merge_headers="no")
    stats = {"earlier": 1}
    with pytest.raises(FileNotFoundError):
        cli.dragen_unify(str(folder / "o.vcf"), str(folder / "absent.vcf"), stats=stats)
    assert stats == {"earlier": 1}


def test_a_path_as_stats_writes_the_document_the_dict_gets(folder):
    stats = {}
    cli.dragen_unify(str(folder / "a.vcf"), str(folder / "sv.vcf"), stats=stats)
    written = cli.dragen_unify(str(folder / "b.vcf"), str(folder / "sv.vcf"), stats=str(folder / "b.json"))
    document = json.loads((folder / "b.json").read_text())
    assert document["output"]["path"] == written
    assert {k: v for k, v in document.items() if k != "seconds" and k != "output"} == \
        {k: v for k, v in stats.items() if k != "seconds" and k != "output"}


@pytest.mark.parametrize("output, sample", [("S1.vcf", "S1"), ("S1.x.vcf", "S1.x"), ("S1", "S1")])
def test_the_multiqc_sample_is_the_output_less_its_file_kind(folder, output, sample):
    result = run("pacbio", "-o", output, "-s", "sv.vcf", "--stats", "run.json", cwd=folder)
    assert result.returncode == 0, result.stderr
    assert list(json.loads((folder / "run.summary_mqc.json").read_text())["data"]) == [sample]
