"""What the benchmarks share: input generation, timing and peak memory."""
import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# The generator of deterministic synthetic pipeline outputs lives in the
# shared folder beside the repository.
MAKE_INPUTS = Path(__file__).resolve().parents[2] / "shared" / "bench" / "make_inputs.py"
# The pipelines a user would write instead, as performance peers.
PEER = MAKE_INPUTS.parent / "peer_pipeline.sh"
PEER_BCFTOOLS = MAKE_INPUTS.parent / "peer_bcftools.sh"


def default_work(name):
    """A work directory of that name under the system's temporary directory."""
    return os.path.join(tempfile.gettempdir(), name)


def bench_parser(doc, work, repeat=1):
    """The options the benchmarks share: --records, --work (default: `work`
    in the temporary directory) and --repeat."""
    ap = argparse.ArgumentParser(description=doc.splitlines()[0])
    ap.add_argument("--records", type=int, default=1_000_000)
    ap.add_argument("--work", default=default_work(work))
    ap.add_argument("--repeat", type=int, default=repeat, help="runs per timing; the best counts")
    return ap


def bench_inputs(args, compressed=False):
    """make_inputs.py's files for args.records under args.work, made once."""
    os.makedirs(args.work, exist_ok=True)
    return make_inputs(os.path.join(args.work, f"inputs-{args.records}"), args.records, compressed)


def make_inputs(directory, records, compressed=False):
    """make_inputs.py's four files in `directory`, generated once and reused."""
    if not os.path.exists(os.path.join(directory, "roh.bed")):
        if not MAKE_INPUTS.exists():
            raise SystemExit(f"{MAKE_INPUTS} not found: the benchmarks need the shared input generator")
        print(f"generating inputs for {records:,} SV records into {directory} ...", flush=True)
        command = [sys.executable, str(MAKE_INPUTS), directory, "--records", str(records)]
        subprocess.run(command + ["--gzip"] * compressed, check=True)
    suffix = ".gz" if compressed else ""
    return {"sv": os.path.join(directory, "sv.vcf" + suffix), "cnv": os.path.join(directory, "cnv.vcf" + suffix),
            "repeats": os.path.join(directory, "repeats.vcf" + suffix), "roh": os.path.join(directory, "roh.bed")}


def best_of(repeat, run):
    """The shortest of `repeat` wall-clock times of run(), and its last result."""
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


# The child reports its own high-water mark (VmHWM). Its ru_maxrss would not
# do: a process started by vfork-and-exec may inherit its parent's peak there.
_REPORT_PEAK = """
with open("/proc/self/status") as status:
    print(next(line.split()[1] for line in status if line.startswith("VmHWM:")))
"""


def peak_kib(code, *args):
    """Peak resident KiB of a fresh interpreter running `code` with sys.argv[1:] = args."""
    out = subprocess.run([sys.executable, "-c", code + _REPORT_PEAK, *args], check=True, capture_output=True,
                         text=True)
    return int(out.stdout.split()[-1])


def timed_child(argv, **env):
    """Wall-clock seconds and peak resident KiB of the command `argv` (the
    largest of its processes, as wait4 reports it), with `env` added to the
    environment."""
    start = time.perf_counter()
    child = subprocess.Popen(argv, env=dict(os.environ, **env), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        raise SystemExit(f"{argv[0]} failed with exit status {child.returncode}")
    return seconds, usage.ru_maxrss


def same_bytes(a, b):
    with open(a, "rb") as first, open(b, "rb") as second:
        while True:
            x, y = first.read(1 << 20), second.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


def verdict(ok):
    return "met" if ok else "NOT MET"


def unavoidable_costs_inputs(work, paths, compressed):
    """The files the costs a run cannot avoid are timed on: the sorted text
    of `compressed` (for write_bgzf alone) and the records in the order a
    run hands them to the sort (for GNU sort alone: sort is much faster on
    input already sorted). Returns their paths and the unified size."""
    import gzip
    import shutil
    from Merivane import unifier

    sorted_path = os.path.join(work, "sorted.vcf")
    with gzip.open(compressed, "rb") as packed, open(sorted_path, "wb") as plain:
        shutil.copyfileobj(packed, plain, 1 << 20)
    unsorted_path = os.path.join(work, "unsorted.vcf")
    unifier.unify_lines(unifier.read_struct_lines(dict(paths)), unsorted_path)
    records_path = os.path.join(work, "records.vcf")
    with open(unsorted_path, "rb") as source, open(records_path, "wb") as records:
        for line in source:
            if not line.startswith(b"#"):
                records.write(line)
    os.remove(unsorted_path)
    return sorted_path, records_path, os.path.getsize(sorted_path)


def gnu_sort_alone(records_path, sorted_out):
    from Merivane import compression

    with open(records_path, "rb") as stdin, open(sorted_out, "wb") as stdout:
        subprocess.run([compression._gnu_sort_path(), "-k1,1", "-k2,2n"], stdin=stdin, stdout=stdout, check=True,
                       env=dict(os.environ, LC_ALL="C"))
