"""The container image of Containerfile, built by scripts/container with
podman on a Debian base made here with debootstrap (no image is pulled)."""
import gzip
import json
import os
import sys

import pytest

if sys.platform == "win32":
    pytest.skip("the image is built and run by podman, on Linux", allow_module_level=True)

import resource  # POSIX only
import shutil
import subprocess
from pathlib import Path

import Merivane

REPO = Path(__file__).resolve().parents[1]
EXAMPLES = {
    "dragen": ["-o", "NA12878.unified.vcf", "-s", "NA12878.sv.vcf", "-c", "NA12878.cnv.vcf",
               "-r", "NA12878.repeats.vcf", "-d", "NA12878.roh.bed"],
    "ont": ["-o", "HG002.unified.vcf", "-s", "HG002.sv.vcf", "-c", "HG002.cnv.vcf", "-r", "HG002.repeats.vcf"],
    "pacbio": ["-o", "HG003.unified.vcf", "-s", "HG003.sv.vcf", "-r", "HG003.trgt.vcf"],
}


def podman_settings(folder):
    """containers.conf for a host without systemd, whose limits a container may not exceed."""
    nofile = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    # A process limit above the kernel's pid_max is refused by runc here.
    nproc = min(resource.getrlimit(resource.RLIMIT_NPROC)[1], int(Path("/proc/sys/kernel/pid_max").read_text()))
    settings = folder / "containers.conf"
    settings.write_text(f'[containers]\ndefault_ulimits = ["nofile={nofile}:{nofile}", "nproc={nproc}:{nproc}"]\n'
                        '[engine]\nruntime = "runc"\ncgroup_manager = "cgroupfs"\nevents_logger = "file"\n')
    return settings


@pytest.fixture(scope="module")
def image(tmp_path_factory):
    for tool in ("podman", "runc", "debootstrap"):
        if shutil.which(tool) is None:
            pytest.skip(f"{tool} is not installed")
    if sys.version_info[:2] != (3, 11):
        pytest.skip("the image's python3 is Debian bookworm's 3.11: the wheel must be built by a 3.11")
    python_tag = "cp311"
    if not list((REPO / "dist").glob(f"merivane-{Merivane.__version__}-{python_tag}-{python_tag}-*manylinux*.whl")):
        pytest.skip(f"no {python_tag} wheel of Merivane {Merivane.__version__} in dist/: scripts/wheel builds it")
    env = dict(os.environ)
    env.setdefault("CONTAINERS_CONF", str(podman_settings(tmp_path_factory.mktemp("podman"))))
    info = subprocess.run(["podman", "info"], env=env, capture_output=True, text=True)
    if info.returncode != 0:
        pytest.skip(f"podman cannot run here: {info.stderr.strip().splitlines()[-1:]}")
    build = subprocess.run([str(REPO / "scripts" / "container"), "--local-base"], env=env,
                           capture_output=True, text=True)
    assert build.returncode == 0, build.stdout[-3000:] + build.stderr[-3000:]
    return build.stdout.splitlines()[-1], env


def podman(env, *arguments):
    return subprocess.run(["podman", *arguments], env=env, capture_output=True, text=True, check=True).stdout


def test_the_image_runs_merivane_as_a_non_root_user_with_gnu_sort_and_bedtools(image):
    name, env = image
    config = json.loads(podman(env, "image", "inspect", name))[0]["Config"]
    assert config["Entrypoint"] == ["merivane"]
    assert config["User"] == "merivane"
    assert config["Labels"]["org.opencontainers.image.version"] == Merivane.__version__
    assert config["Labels"]["org.opencontainers.image.licenses"] == "MIT"
    assert podman(env, "run", "--rm", name, "--version").strip() == f"merivane {Merivane.__version__}"
    tools = podman(env, "run", "--rm", "--entrypoint", "sh", name, "-c", "id -u; sort --version; bedtools --version")
    uid, sort_version = tools.splitlines()[:2]
    assert uid != "0"
    assert "GNU coreutils" in sort_version
    assert "bedtools v" in tools


def records(path):
    with gzip.open(path, "rt", encoding="utf-8") as text:
        return [line for line in text if not line.startswith("#")]


def test_the_bundled_examples_in_the_image_give_the_records_of_a_host_run(image, tmp_path):
    name, env = image
    host = tmp_path / "host"
    shutil.copytree(REPO / "examples", host, ignore=shutil.ignore_patterns("out"))
    host_env = dict(os.environ, PATH=os.pathsep.join([str(Path(sys.executable).parent), os.environ["PATH"]]))
    subprocess.run([sys.executable, str(host / "run_examples.py")], env=host_env, check=True, capture_output=True)
    mounted = tmp_path / "mounted"
    mounted.mkdir()
    for pipeline, arguments in EXAMPLES.items():
        shutil.copytree(REPO / "examples" / pipeline, mounted / pipeline)
        # The image's user is not this one: it must be able to write there.
        (mounted / pipeline).chmod(0o777)
        printed = podman(env, "run", "--rm", "--volume", f"{mounted / pipeline}:/data", name, pipeline,
                         *arguments, "--index", "tbi")
        # Relative paths are the image's working directory, the mounted folder.
        unified, index = printed.split()
        on_host = mounted / pipeline / unified
        assert (mounted / pipeline / index).is_file()
        expected = records(host / "out" / pipeline / unified)
        assert expected and records(on_host) == expected, pipeline
