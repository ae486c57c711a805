"""What only Python shows of the bindings: which replaced module functions
are consulted, values that must be refused before any file is touched, other
threads running during long calls, and Ctrl-C."""
import collections
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time
import types
from pathlib import Path

import pytest

from Merivane import cli, compression, repeats, unifier

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


@pytest.fixture
def dragen(tmp_path):
    shutil.copytree(EXAMPLES / "dragen", tmp_path / "in")
    return tmp_path / "in"


def run_entries(d):
    """Every way of running the whole job on one SV input."""
    sv, out = str(d / "NA12878.sv.vcf"), str(d / "out.vcf")
    return {
        "run": lambda: unifier.run(out, sv),
        "_unify": lambda: cli._unify({cli.SV: sv}, out, unifier.UnifyOptions()),
        "dragen_unify": lambda: cli.dragen_unify(out, sv),
        "sort_and_compress": lambda: compression.sort_and_compress(sv, out + ".gz", True),
    }


# Names the package never looks up: replacing them changes nothing.
@pytest.mark.parametrize("module, name", [(compression, "write_bgzf"), (compression, "sort_vcf_lines"),
                                          (unifier, "_write_vcf_content")])
@pytest.mark.parametrize("entry", ["run", "_unify", "dragen_unify", "sort_and_compress"])
def test_names_nothing_looks_up_are_not_called(dragen, monkeypatch, module, name, entry):
    def refuse(*args, **kwargs):
        raise AssertionError(name + " was called")
    monkeypatch.setattr(module, name, refuse)
    assert Path(run_entries(dragen)[entry]()).exists()


# Names looked up at call time: a replacement is called by every entry that reaches it.
@pytest.mark.parametrize("module, name", [(compression, "gnu_sort_available"), (compression, "_gnu_sort_path"),
                                          (unifier, "get_lines"), (unifier, "is_empty")])
@pytest.mark.parametrize("entry", ["run", "_unify", "dragen_unify"])
def test_names_looked_up_are_honoured_through_every_entry(dragen, monkeypatch, module, name, entry):
    original = getattr(module, name)
    calls = []
    monkeypatch.setattr(module, name, lambda *args: calls.append(args) or original(*args))
    assert Path(run_entries(dragen)[entry]()).exists()
    assert calls


def test_a_replaced_intersection_engine_is_honoured_by_the_pacbio_door(tmp_path, monkeypatch):
    shutil.copytree(EXAMPLES / "pacbio", tmp_path / "in")
    d = tmp_path / "in"
    (d / "catalog.bed").write_text("chr1\t0\t1000000000\n")
    calls = []
    original = repeats._intersect_in_python
    monkeypatch.setattr(repeats, "bedtools_available", lambda: False)
    monkeypatch.setattr(repeats, "_intersect_in_python", lambda *a: calls.append(a) or original(*a))
    result = cli.pacbio_filter_and_unify(str(d / "out.vcf"), str(d / "HG003.sv.vcf"), None,
                                         str(d / "HG003.trgt.vcf"), str(d / "catalog.bed"))
    assert Path(result).exists()
    assert [Path(a[0]).name for a in calls] == ["HG003.trgt.vcf"]


@pytest.mark.parametrize("struct_files, error", [
    (None, AttributeError), (5, AttributeError), ("sv.vcf", AttributeError), (["sv"], AttributeError),
    ({"sv": 5}, TypeError), ({"sv": b"sv.vcf"}, TypeError),
])
def test_unify_refuses_what_is_no_mapping_of_paths(tmp_path, struct_files, error):
    with pytest.raises(error):
        cli._unify(struct_files, str(tmp_path / "out.vcf"), unifier.UnifyOptions())
    assert not (tmp_path / "out.vcf").exists()


@pytest.mark.parametrize("wrap", [dict, collections.UserDict, types.MappingProxyType])
def test_unify_takes_any_mapping(dragen, wrap):
    files = wrap({cli.SV: str(dragen / "NA12878.sv.vcf")})
    assert cli._unify(files, str(dragen / "out.vcf"), unifier.UnifyOptions()) == str(dragen / "out.vcf.gz")


def nul_calls(d):
    sv, out, bed = str(d / "NA12878.sv.vcf"), str(d / "out.vcf"), str(d / "NA12878.roh.bed")
    bad = sv + "\0junk"
    return [
        lambda: unifier.get_lines(bad),
        lambda: unifier.read_struct_lines({unifier.SV: bad}),
        lambda: unifier.unify_lines({unifier.SV: ["x\n"]}, out + "\0junk"),
        lambda: unifier.run(out, bad),
        lambda: unifier.run(out + "\0junk", sv),
        lambda: cli._unify({cli.SV: bad}, out, unifier.UnifyOptions()),
        lambda: cli.dragen_unify(out, sv, roh_bed_path=bed + "\0"),
        lambda: cli.pacbio_filter_and_unify(out, sv, full_repeat_path=sv, repeat_bed_file_path=bed,
                                            filtered_repeat_path=out + "\0.vcf"),
        lambda: compression.write_bgzf(sv, out + "\0.gz"),
        lambda: compression.write_bgzf(bad, out + ".gz"),
        lambda: compression.sort_and_compress(bad),
        lambda: compression.sort_and_compress(sv, out + "\0.gz"),
        lambda: repeats.filter_repeats_vcf(bad, bed),
        lambda: repeats._intersect_in_python(sv, bed, out + "\0"),
        lambda: repeats._read_bed_intervals(bed + "\0"),
        lambda: repeats._open_vcf_text(bad),
    ]


@pytest.mark.parametrize("index", range(16))
def test_a_path_holding_a_nul_is_refused_before_any_file_is_touched(dragen, index):
    before = {p.name: p.read_bytes() for p in dragen.iterdir()}
    with pytest.raises(ValueError, match="^embedded null byte$"):
        nul_calls(dragen)[index]()
    assert {p.name: p.read_bytes() for p in dragen.iterdir()} == before


@pytest.mark.parametrize("engine", ["_intersect_in_python", "_intersect_with_bedtools"])
@pytest.mark.parametrize("which", ["repeat", "bed"])
def test_an_engine_refuses_an_output_naming_its_input(dragen, engine, which):
    repeat, bed = dragen / "NA12878.repeats.vcf", dragen / "NA12878.roh.bed"
    before = repeat.read_bytes(), bed.read_bytes()
    with pytest.raises(ValueError):
        getattr(repeats, engine)(str(repeat), str(bed), str(repeat if which == "repeat" else bed))
    assert (repeat.read_bytes(), bed.read_bytes()) == before


def big_vcf(path, records=300_000):
    with open(path, "w") as out:
        out.write("##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n")
        for i in range(records, 0, -1):
            out.write(f"chr{i % 23 + 1}\t{i * 7919 % 10_000_019}\tid{i}\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL;END={i}\n")
    return path


def test_other_threads_run_during_a_long_call(tmp_path):
    vcf = big_vcf(tmp_path / "big.vcf")
    ticks = []
    stop = threading.Event()

    def heartbeat():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    beat = threading.Thread(target=heartbeat)
    beat.start()
    try:
        started = time.monotonic()
        compression.sort_and_compress(str(vcf), engine=compression.PYTHON_SORT)
        finished = time.monotonic()
    finally:
        stop.set()
        beat.join()
    during = [t for t in ticks if started < t < finished]
    # Held GIL: one tick at most. Released: one every ~10 ms, fewer on a busy machine.
    assert len(during) >= max(3, (finished - started) / 0.01 / 10)


CHILD = textwrap.dedent("""
    import sys
    from Merivane import compression
    print("started", flush=True)
    try:
        compression.sort_and_compress(sys.argv[1], engine=sys.argv[2])
    except KeyboardInterrupt:
        print("KeyboardInterrupt", flush=True)
    except BaseException as error:
        print(type(error).__name__, error, flush=True)
    else:
        print("finished", flush=True)
""")


@pytest.mark.parametrize("engine, whole_group", [
    ("gnu_sort", False),     # SIGINT to the interpreter while GNU sort runs
    ("gnu_sort", True),      # Ctrl-C at a terminal: the sort gets it too
    ("python_sort", False),  # reading, sorting and compressing in the core
])
def test_ctrl_c_interrupts_a_long_call_with_keyboard_interrupt(tmp_path, engine, whole_group):
    bin_dir, temp = tmp_path / "bin", tmp_path / "tmp"
    bin_dir.mkdir()
    temp.mkdir()
    sort = bin_dir / "sort"
    # GNU by its banner; sorting never ends.
    sort.write_text('#!/bin/sh\n[ "$1" = --version ] && { echo "sort (GNU coreutils) 9.1"; exit 0; }\nexec sleep 60\n')
    sort.chmod(0o755)
    if engine == "gnu_sort":
        vcf = tmp_path / "in.vcf"
        vcf.write_text("#CHROM\tPOS\nc\t2\nc\t1\n")
    else:
        vcf = big_vcf(tmp_path / "in.vcf", 600_000)
    before = vcf.read_bytes()
    env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}", TMPDIR=str(temp))
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(vcf), engine], stdout=subprocess.PIPE, text=True,
                             env=env, start_new_session=True)
    try:
        assert child.stdout.readline() == "started\n"
        time.sleep(0.5)
        sent = time.monotonic()
        if whole_group:
            os.killpg(child.pid, signal.SIGINT)
        else:
            child.send_signal(signal.SIGINT)
        outcome = child.stdout.readline()
        assert time.monotonic() - sent < 1.5
        assert outcome == "KeyboardInterrupt\n"
        assert child.wait(timeout=5) == 0
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()
        child.stdout.close()
    assert vcf.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bin", "in.vcf", "tmp"]
    assert list(temp.iterdir()) == []


def test_doors_run_side_by_side_in_threads(dragen, caplog):
    caplog.set_level("INFO")
    inputs = [str(dragen / name) for name in ("NA12878.sv.vcf", "NA12878.cnv.vcf", "NA12878.repeats.vcf",
                                              "NA12878.roh.bed")]
    results, errors = {}, []

    def unify(i):
        try:
            results[i] = cli.dragen_unify(str(dragen / f"out{i}.vcf"), *inputs)
        except BaseException as error:  # reported below
            errors.append(error)

    workers = [threading.Thread(target=unify, args=(i,)) for i in range(4)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert errors == []
    contents = {Path(path).read_bytes() for path in results.values()}
    assert len(results) == 4 and len(contents) == 1
    # Every call's log events reached the root logger.
    assert sum("Wrote sorted, bgzipped VCF" in r.getMessage() for r in caplog.records) == 4
