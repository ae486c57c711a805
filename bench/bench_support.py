"""What the benchmarks share: input generation, timing and peak memory."""
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# The generator of deterministic synthetic pipeline outputs lives in the
# shared folder beside the repository.
MAKE_INPUTS = Path(__file__).resolve().parents[2] / "shared" / "bench" / "make_inputs.py"


def default_work(name):
    """A work directory of that name under the system's temporary directory."""
    return os.path.join(tempfile.gettempdir(), name)


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
