"""The Snakemake workflow: one merivane job per sample of a sheet."""
import gzip
import importlib.util
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
SNAKEFILE = REPO / "workflow" / "Snakefile"
SAMPLES = {"NA12878": "dragen", "HG002": "ont", "HG003": "pacbio"}


def snakemake_command():
    if importlib.util.find_spec("snakemake") is not None:
        return [sys.executable, "-m", "snakemake"]
    if shutil.which("snakemake"):
        return [shutil.which("snakemake")]
    pytest.skip("snakemake is not installed")


def environment():
    """The jobs find this interpreter's merivane and multiqc on the PATH."""
    scripts = Path(sys.executable).parent
    return dict(os.environ, PATH=os.pathsep.join([str(scripts), os.environ.get("PATH", "")]))


def snakemake(tmp_path, *config, extra=()):
    """Runs the workflow in tmp_path on the project's settings, with `config` over them."""
    command = [*snakemake_command(), "-s", str(SNAKEFILE), "--directory", str(tmp_path), "--cores", "2",
               "--configfile", str(REPO / "config" / "config.yaml"), *extra, "--config", "multiqc=false", *config]
    return subprocess.run(command, env=environment(), capture_output=True, text=True)


def project_copy(folder):
    """What running the workflow needs of the project's root."""
    for part in ("workflow", "config", "examples"):
        shutil.copytree(REPO / part, folder / part)
    return folder


def records(path):
    with gzip.open(path, "rt", encoding="utf-8") as text:
        return [line for line in text if not line.startswith("#")]


def without_run_details(path):
    """A unified file's lines without the one that names the run's date."""
    with gzip.open(path, "rt", encoding="utf-8") as text:
        return [line for line in text if not line.startswith("##merivaneCommand=")]


def counts(stats_path):
    """The counts of a statistics document (its size varies with the date in the header)."""
    document = json.loads(stats_path.read_text())
    return {kind: (c["read"], c["kept"], c["left_out"]) for kind, c in document["inputs"].items()}, \
        {key: value for key, value in document["output"].items() if key not in ("path", "bytes")}


@pytest.fixture(scope="module")
def local_run(tmp_path_factory):
    """The project's root copied and run as a user would (only --cores 2, from the root), then again."""
    if shutil.which("tabix") is None or shutil.which("multiqc", path=environment()["PATH"]) is None:
        pytest.skip("tabix or multiqc is not installed")
    local = project_copy(tmp_path_factory.mktemp("local"))
    first = subprocess.run([*snakemake_command(), "--cores", "2"], cwd=local, env=environment(),
                           capture_output=True, text=True)
    assert first.returncode == 0, first.stderr
    stamps = {p: p.stat().st_mtime_ns for p in (local / "results").rglob("*")}
    second = subprocess.run([*snakemake_command(), "--cores", "2"], cwd=local, env=environment(),
                            capture_output=True, text=True)
    return local / "results", second, stamps


@pytest.fixture(scope="module")
def runs(local_run, tmp_path_factory):
    """The local run, and the project's root run once more through the generic cluster executor, each job a
    background process of its own."""
    if importlib.util.find_spec("snakemake_executor_plugin_cluster_generic") is None:
        pytest.skip("snakemake-executor-plugin-cluster-generic is not installed")
    cluster = project_copy(tmp_path_factory.mktemp("cluster"))
    submit = cluster / "submit.sh"
    # A scheduler of one's own: the job script starts in the background and
    # the submission answers with a job id at once.
    submit.write_text('#!/bin/sh\nnohup sh "$1" > "$1.out" 2>&1 &\necho "$!"\n')
    submit.chmod(0o755)
    clustered = subprocess.run(
        [*snakemake_command(), "--cores", "2", "--jobs", "2", "--executor", "cluster-generic",
         "--cluster-generic-submit-cmd", str(submit), "--latency-wait", "10"],
        cwd=cluster, env=environment(), capture_output=True, text=True)
    assert clustered.returncode == 0, clustered.stderr
    return (*local_run, cluster / "results")


def test_a_second_run_does_nothing(runs):
    results, second, stamps, _ = runs
    assert second.returncode == 0, second.stderr
    assert "Nothing to be done" in second.stdout + second.stderr
    assert {p: p.stat().st_mtime_ns for p in results.rglob("*")} == stamps


def test_each_sample_gets_its_folder_and_an_index_that_answers(runs):
    results = runs[0]
    for sample in SAMPLES:
        folder = results / sample
        names = {p.name for p in folder.iterdir()}
        assert {f"{sample}.vcf.gz", f"{sample}.vcf.gz.tbi", f"{sample}.stats.json"} <= names
        compressed = folder / f"{sample}.vcf.gz"
        expected = records(compressed)
        assert expected, sample
        for chromosome in sorted({line.split("\t")[0] for line in expected}):
            answer = subprocess.run(["tabix", str(compressed), chromosome], capture_output=True, text=True,
                                    check=True).stdout
            assert answer.splitlines(keepends=True) == [line for line in expected
                                                        if line.split("\t")[0] == chromosome], (sample, chromosome)
        # The sheet's name is the sample column's.
        assert without_run_details(compressed)[-len(expected) - 1].endswith(f"\t{sample}\n")


def assert_same_results(results, local):
    """Every sample's records and counts as the local run gave them, and the cohort's report."""
    for sample in SAMPLES:
        assert without_run_details(results / sample / f"{sample}.vcf.gz") == \
            without_run_details(local / sample / f"{sample}.vcf.gz"), sample
        assert counts(results / sample / f"{sample}.stats.json") == counts(local / sample / f"{sample}.stats.json")
    assert (results / "multiqc" / "multiqc_report.html").is_file()


def test_the_cluster_run_gives_what_the_local_run_gives(runs):
    local, _, _, cluster = runs
    assert_same_results(cluster, local)


def test_multiqc_shows_each_samples_counts_as_the_statistics_gave_them(runs):
    data = runs[0] / "multiqc" / "multiqc_data"

    def table(name):
        header, *rows = (data / f"multiqc_merivane_{name}.txt").read_text().splitlines()
        columns = header.split("\t")[1:]
        # A sample without a column's value has an empty cell.
        return {row.split("\t")[0]: {c: float(v or 0) for c, v in zip(columns, row.split("\t")[1:])} for row in rows}

    summary, sources, svtypes = table("summary"), table("sources"), table("svtypes")
    assert set(summary) == set(SAMPLES)
    for sample in SAMPLES:
        document = json.loads((runs[0] / sample / f"{sample}.stats.json").read_text())
        output = document["output"]
        assert summary[sample]["kept"] == output["records"]
        assert summary[sample]["read"] == sum(c["read"] for c in document["inputs"].values())
        assert summary[sample]["without_svtype"] == output["without_svtype"]
        assert {k: v for k, v in sources[sample].items() if v} == \
            {kind: c["kept"] for kind, c in document["inputs"].items() if c["kept"]}
        expected = dict(output["by_svtype"], **({"(none)": output["without_svtype"]} if output["without_svtype"] else {}))
        assert {k: v for k, v in svtypes[sample].items() if v} == expected


def test_samples_named_after_anothers_output_do_not_collide(tmp_path):
    sv = REPO / "examples" / "ont" / "HG002.sv.vcf"
    trgt = REPO / "examples" / "pacbio" / "HG003.trgt.vcf"
    sheet = tmp_path / "samples.tsv"
    sheet.write_text("sample\tpipeline\tsv\trepeats\n"
                     f"X\tpacbio\t{sv}\t{trgt}\n"
                     f"X.repeats.filtered\tdragen\t{sv}\t\n")
    result = snakemake(tmp_path, f"samples={sheet}", "outdir=out")
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "out" / "X" / "X.repeats.filtered.vcf").is_file()
    assert records(tmp_path / "out" / "X.repeats.filtered" / "X.repeats.filtered.vcf.gz")


def test_odd_folder_and_sample_names_keep_to_their_own_files(tmp_path):
    """An output folder with a space and `;` in it (a path, never a command), a sheet saved with a byte-order mark,
    a sample whose name MultiQC would clean into another's, and one named after the MultiQC rule."""
    if shutil.which("multiqc", path=environment()["PATH"]) is None:
        pytest.skip("multiqc is not installed")
    sv = REPO / "examples" / "ont" / "HG002.sv.vcf"
    names = {"S1", "S1.vcf.gz", "multiqc"}
    sheet = tmp_path / "samples.tsv"
    sheet.write_text("\ufeffsample\tpipeline\tsv\n" + "".join(f"{name}\tont\t{sv}\n" for name in sorted(names)),
                     encoding="utf-8")
    result = snakemake(tmp_path, f"samples={sheet}", "outdir=out dir; touch injected; x", "multiqc=true")
    assert result.returncode == 0, result.stderr
    assert not (tmp_path / "injected").exists()
    out = tmp_path / "out dir; touch injected; x"
    for name in names:
        assert records(out / name / f"{name}.vcf.gz"), name
    header, *rows = (out / "multiqc" / "multiqc_data" / "multiqc_merivane_summary.txt").read_text().splitlines()
    assert {row.split("\t")[0] for row in rows} == names
    assert "MultiQC" in (out / "logs" / "multiqc" / "multiqc.log").read_text()
    assert "MultiQC" not in (out / "logs" / "multiqc.log").read_text()


def test_each_job_asks_for_memory_by_the_size_of_its_inputs(tmp_path):
    sv = tmp_path / "sv.vcf"
    sv.write_text("##fileformat=VCFv4.2\n" + ("##" + "x" * 1021 + "\n") * 6 * 1024 +
                  "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\nchr1\t1\t.\tN\t<DEL>\t.\tPASS\t.\n")
    sheet = tmp_path / "samples.tsv"
    sheet.write_text(f"sample\tpipeline\tsv\nS1\tont\t{sv}\n")
    result = snakemake(tmp_path, f"samples={sheet}", "outdir=out", extra=["-n"])
    assert result.returncode == 0, result.stderr
    # 512 MB and three times the input's 6 MiB.
    assert "mem_mb=530," in result.stdout + result.stderr
    assert "never awaited" not in result.stdout + result.stderr


@pytest.mark.parametrize("row, message", [
    ("S1\tnanopore\tsv.vcf\t\t", "pipeline must be dragen, ont or pacbio, not 'nanopore'"),
    ("S1\tont\tsv.vcf\t\troh.bed", "a ont sample takes no roh column"),
    ("S1\tdragen\t\t\t", "has none of sv, cnv, repeats"),
    ("bad/name\tdragen\tsv.vcf\t\t", "sample name 'bad/name'"),
    ("S0\tont\tsv.vcf\t\t", "sample 'S0' appears twice"),
])
def test_a_bad_sheet_stops_the_run_naming_its_line(tmp_path, row, message):
    sheet = tmp_path / "samples.tsv"
    sheet.write_text("sample\tpipeline\tsv\tcnv\troh\n" "S0\tdragen\tsv.vcf\t\t\n" + row + "\n")
    (tmp_path / "sv.vcf").write_text("#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\nchr1\t1\t.\tN\t<DEL>\t.\tPASS\t.\n")
    result = snakemake(tmp_path, f"samples={sheet}", "outdir=out", extra=["-n"])
    assert result.returncode != 0
    assert f"{sheet}, line 3: " in result.stdout + result.stderr
    assert message in result.stdout + result.stderr


def one_ont_sample(tmp_path):
    sheet = tmp_path / "samples.tsv"
    sheet.write_text(f"sample\tpipeline\tsv\nS1\tont\t{REPO / 'examples' / 'ont' / 'HG002.sv.vcf'}\n")
    return f"samples={sheet}"


@pytest.mark.parametrize("config, given", [((), None), (("level=3",), "--level 3")])
def test_the_level_reaches_the_command_only_when_configured(tmp_path, config, given):
    result = snakemake(tmp_path, one_ont_sample(tmp_path), "outdir=out", *config, extra=["-n", "-p"])
    assert result.returncode == 0, result.stderr
    printed = result.stdout + result.stderr
    assert "--threads" in printed, printed
    assert ("--level" in printed) == (given is not None)
    assert given is None or given in printed


def test_a_level_out_of_range_fails_with_the_commands_error(tmp_path):
    result = snakemake(tmp_path, one_ont_sample(tmp_path), "outdir=out", "level=12")
    assert result.returncode != 0
    assert "'12' must be from 0 (fastest) to 9 (smallest)" in (tmp_path / "out" / "logs" / "S1.log").read_text()


def test_lint_has_nothing_to_say(tmp_path):
    result = subprocess.run([*snakemake_command(), "--lint"], cwd=project_copy(tmp_path), env=environment(),
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Lints for" not in result.stdout + result.stderr


SLURM_STATE = Path("/run/slurm-local")


@pytest.fixture(scope="module")
def slurm():
    """A one-node SLURM cluster on this machine (scripts/slurm-local), stopped when the module is done; the
    daemons it started must be gone then."""
    if importlib.util.find_spec("snakemake_executor_plugin_slurm") is None:
        pytest.skip("snakemake-executor-plugin-slurm is not installed")
    started = subprocess.run([str(REPO / "scripts" / "slurm-local"), "start"], capture_output=True, text=True,
                             timeout=120)
    if started.returncode != 0:
        pytest.skip(f"SLURM cannot start here: {started.stderr.strip()}")
    daemons = {path.stem: int(path.read_text()) for path in SLURM_STATE.glob("*.pid")}
    try:
        yield
    finally:
        stopped = subprocess.run([str(REPO / "scripts" / "slurm-local"), "stop"], capture_output=True, text=True,
                                 timeout=120)
        assert stopped.returncode == 0, stopped.stderr
        assert {"slurmctld", "slurmd"} <= set(daemons)
        assert [name for name, pid in daemons.items() if running(pid)] == []


def running(pid):
    """Whether a process runs (a zombie has stopped; only its parent's wait is missing)."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()[0] != "Z"
    except FileNotFoundError:
        return False


def slurm_run(folder, *config, extra=()):
    """The workflow through the SLURM executor with the profile the workflow's README shows. Status checks
    start after 5 s instead of 40 (the jobs here take seconds), and each job takes one of the node's CPUs so
    that two run at once; a run that waits for ever fails the test."""
    command = [*snakemake_command(), "--profile", str(REPO / "workflow" / "profiles" / "slurm"),
               "--slurm-init-seconds-before-status-checks", "5", *extra, "--config", "threads=1", *config]
    return subprocess.run(command, cwd=folder, env=environment(), capture_output=True, text=True, timeout=600)


def test_the_slurm_run_gives_what_the_local_run_gives(slurm, local_run, tmp_path):
    project = project_copy(tmp_path)
    result = slurm_run(project)
    assert result.returncode == 0, result.stderr
    # Each job went through sbatch.
    assert result.stderr.count("has been submitted with SLURM jobid") == len(SAMPLES) + 1, result.stderr
    assert_same_results(project / "results", local_run[0])


def test_a_failing_sample_fails_the_slurm_run_and_keep_going_finishes_the_others(slurm, tmp_path):
    sv = REPO / "examples" / "ont" / "HG002.sv.vcf"
    # gzip data cut short: merivane refuses it, so the job exits non-zero.
    (tmp_path / "cut.vcf.gz").write_bytes(gzip.compress(sv.read_bytes())[:300])
    sheet = tmp_path / "samples.tsv"
    sheet.write_text(f"sample\tpipeline\tsv\nbad\tont\t{tmp_path / 'cut.vcf.gz'}\ngood\tont\t{sv}\n")
    settings = ["-s", str(SNAKEFILE), "--configfile", str(REPO / "config" / "config.yaml")]

    stopped = slurm_run(tmp_path, f"samples={sheet}", "multiqc=false", "outdir=stopped", extra=settings)
    assert stopped.returncode != 0
    assert "Error in rule unify" in stopped.stderr
    assert "gzip data cut short" in (tmp_path / "stopped" / "logs" / "bad.log").read_text()
    assert not (tmp_path / "stopped" / "bad" / "bad.vcf.gz").exists()

    kept_going = slurm_run(tmp_path, f"samples={sheet}", "multiqc=false", "outdir=kept",
                           extra=[*settings, "--keep-going"])
    assert kept_going.returncode != 0
    assert "Error in rule unify" in kept_going.stderr
    assert not (tmp_path / "kept" / "bad" / "bad.vcf.gz").exists()
    assert records(tmp_path / "kept" / "good" / "good.vcf.gz")
    assert (tmp_path / "kept" / "good" / "good.vcf.gz.tbi").is_file()
