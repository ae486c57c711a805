"""Shared pieces of the fault-injection and hostile-path tests."""
import os
import pathlib
import stat

FULL_DEVICE = "/dev/full"
# Root reads files whatever their permissions; Windows has no such user.
AS_ROOT = hasattr(os, "geteuid") and os.geteuid() == 0

HEADER = (
    "##fileformat=VCFv4.2\n"
    "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\n"
)


def record(chromosome, pos, info="SVTYPE=DEL;END={end}", sample="0/1"):
    info = info.format(end=pos + 10)
    return f"{chromosome}\t{pos}\t.\tN\t<DEL>\t.\tPASS\t{info}\tGT\t{sample}\n"


# Unsorted, so that a sort has something to do; enough records that a failed
# write cannot hide in a buffer that is never flushed.
SV_TEXT = HEADER + "".join(record(f"chr{1 + i % 3}", 10_000 - i * 7) for i in range(2_000))

REPEAT_TEXT = HEADER + "".join(
    f"chr1\t{100 + i * 50}\t.\tA\t<STR>\t.\tPASS\tEND={120 + i * 50};TRID=L{i}\tGT\t0/1\n" for i in range(400)
)
CATALOG_TEXT = "chr1\t0\t5000\tNEAR\nchr1\t15000\t16000\tFAR\n"


def on_full_device(path):
    """A link at `path` to the full device: opening it works, writing fails
    with ENOSPC. Through a link, so that nothing can remove the device."""
    os.symlink(FULL_DEVICE, path)
    return str(path)


def contents(*paths):
    """The bytes of each file, to check later that inputs were left alone."""
    return {str(path): pathlib.Path(path).read_bytes() for path in paths}


def names_in(directory):
    return sorted(entry.name for entry in pathlib.Path(directory).iterdir())


def fake_tool(directory, name, body):
    """An executable shell script `name` in `directory`."""
    path = pathlib.Path(directory) / name
    path.write_text("#!/bin/sh\n" + body)
    path.chmod(path.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    return str(path)


def with_fake_tools(monkeypatch, tmp_path, **scripts):
    """Puts scripts named after the keywords first on the PATH."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir(exist_ok=True)
    for name, body in scripts.items():
        fake_tool(bin_dir, name, body)
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    return bin_dir


# A `sort` that passes the GNU banner check and then does what `body` says.
SORT_BANNER = 'if [ "$1" = "--version" ]; then echo "sort (GNU coreutils) 9.1"; exit 0; fi\n'
