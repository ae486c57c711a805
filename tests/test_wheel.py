"""The binary wheel of scripts/wheel, installed where no compiler is.

scripts/test builds it into dist/ first; run alone, these tests use the
wheel found there for this interpreter (or skip, saying how to make one).
"""
import gzip
import os
import re
import shutil
import struct
import subprocess
import sys
import zipfile
import zlib
from pathlib import Path

import pytest

import Merivane

REPO = Path(__file__).resolve().parents[1]
# Tests that build or install the package themselves are not run again
# against the wheel.
NOT_AGAINST_THE_WHEEL = ("test_wheel.py", "test_container.py")
COMPILER = re.compile(r"(^|-)(cc|c\+\+|cpp|gcc|g\+\+|clang|clang\+\+|c89|c99|zig)(-[\w.]+)?$")


def built_wheel():
    python_tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    wheels = sorted((REPO / "dist").glob(f"merivane-{Merivane.__version__}-{python_tag}-{python_tag}-*.whl"))
    if not wheels:
        pytest.skip(f"no {python_tag} wheel of Merivane {Merivane.__version__} in dist/: scripts/wheel builds it")
    return wheels[-1]


def path_without_compilers(folder):
    """A PATH of links to every program on this one except the compilers."""
    folder.mkdir()
    for directory in os.environ.get("PATH", "").split(os.pathsep):
        if not os.path.isdir(directory):
            continue
        for entry in os.scandir(directory):
            link = folder / entry.name
            if COMPILER.search(entry.name) or os.path.lexists(link):
                continue
            if entry.is_file() and os.access(entry.path, os.X_OK):
                link.symlink_to(entry.path)
    return str(folder)


@pytest.fixture(scope="module")
def wheel_env(tmp_path_factory):
    """A new virtual environment with the wheel installed by a pip that has no compiler to call."""
    wheel = built_wheel()
    root = tmp_path_factory.mktemp("wheel")
    venv = root / "venv"
    # The system site-packages lend the test tools (pytest, pysam, mypy,
    # snakemake); the environment's own Merivane comes first.
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    env = {key: value for key, value in os.environ.items() if key not in ("CC", "CXX", "CMAKE_ARGS")}
    env["PATH"] = os.pathsep.join([str(venv / "bin"), path_without_compilers(root / "bin")])
    for compiler in ("cc", "c++", "gcc", "g++", "clang", "zig"):
        assert shutil.which(compiler, path=env["PATH"]) is None, compiler
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", "--force-reinstall",
                    str(wheel)], check=True, env=env)
    location = subprocess.run([python, "-c", "import Merivane; print(Merivane.__file__)"], check=True,
                              env=env, capture_output=True, text=True).stdout
    assert Path(location).is_relative_to(venv), location
    return python, env


def test_the_wheel_is_tagged_for_old_glibc_with_nothing_grafted_in():
    wheel = built_wheel()
    platforms = wheel.name[:-len(".whl")].split("-")[-1].split(".")
    glibcs = [tuple(map(int, m.groups())) for p in platforms if (m := re.fullmatch(r"manylinux_(\d+)_(\d+)_x86_64", p))]
    assert glibcs and max(glibcs) <= (2, 28), wheel.name
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
    # auditwheel grafts the libraries no policy allows into merivane.libs/.
    assert not [name for name in names if ".libs/" in name], names
    assert any(name.endswith(".dist-info/licenses/libdeflate/COPYING") for name in names)


def run_examples(python, env, folder):
    shutil.copytree(REPO / "examples", folder, ignore=shutil.ignore_patterns("out"))
    subprocess.run([python, str(folder / "run_examples.py")], check=True, env=env, capture_output=True)
    outputs = {}
    for unified in sorted((folder / "out").glob("*/*.unified.vcf.gz")):
        with gzip.open(unified, "rt", encoding="utf-8") as text:
            outputs[unified.name] = [line for line in text if not line.startswith("#")]
        assert unified.with_name(unified.name + ".tbi").is_file()
    return outputs


def test_the_bundled_examples_give_the_records_of_the_source_build(wheel_env, tmp_path):
    python, env = wheel_env
    from_wheel = run_examples(python, env, tmp_path / "wheel")
    host_env = dict(os.environ, PATH=os.pathsep.join([str(Path(sys.executable).parent), os.environ["PATH"]]))
    from_source = run_examples(sys.executable, host_env, tmp_path / "source")
    assert sorted(from_wheel) == ["HG002.unified.vcf.gz", "HG003.unified.vcf.gz", "NA12878.unified.vcf.gz"]
    assert all(from_wheel.values())
    assert from_wheel == from_source


def first_block(path):
    """The deflate payload of a BGZF file's first block and the bytes it holds."""
    data = path.read_bytes()
    block_size = struct.unpack_from("<H", data, 16)[0] + 1
    payload = data[18:block_size - 8]
    return payload, zlib.decompress(payload, -15)


def test_levels_below_nine_compress_with_libdeflate(wheel_env, tmp_path):
    python, env = wheel_env
    source = tmp_path / "lines.txt"
    source.write_text("".join(f"chr{i % 22 + 1}\t{i * 37}\tsv{i}\tN\t<DEL>\t.\tPASS\tSVLEN=-{i}\n"
                              for i in range(4000)))
    target = tmp_path / "lines.txt.gz"
    subprocess.run([python, "-c", "import sys, Merivane.compression as c; "
                    "c.write_bgzf(sys.argv[1], sys.argv[2], compresslevel=6)", str(source), str(target)],
                   check=True, env=env)
    payload, text = first_block(target)
    zlib_payload = zlib.compressobj(6, zlib.DEFLATED, -15)
    # Built without libdeflate, level 6 would be zlib's own bytes.
    assert payload != zlib_payload.compress(text) + zlib_payload.flush()


def test_the_python_tests_pass_against_the_wheel(wheel_env, tmp_path):
    python, env = wheel_env
    ignored = [f"--ignore=tests/{name}" for name in NOT_AGAINST_THE_WHEEL]
    run = subprocess.run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", f"--basetemp={tmp_path}/pytest",
                          *ignored, "tests"], cwd=REPO, env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-2000:]
    assert re.search(r"\d+ passed", run.stdout.splitlines()[-1]), run.stdout[-500:]
