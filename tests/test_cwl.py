"""The CWL tool: its inputs are the merivane command's options, and a CWL
runner's results are those of the command run by hand."""
import importlib.util
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from Merivane import __version__, _command, repeats

REPO = Path(__file__).resolve().parents[1]
TOOL = REPO / "workflow" / "cwl" / "merivane.cwl"
EXAMPLES = REPO / "examples"

# Options a tool that returns files has no use for: they print and exit.
NOT_INPUTS = {"--help", "--version"}


def cwltool_command():
    if importlib.util.find_spec("cwltool") is not None:
        return [sys.executable, "-m", "cwltool"]
    if shutil.which("cwltool"):
        return [shutil.which("cwltool")]
    pytest.skip("cwltool is not installed")


def environment():
    """The tool's job finds this interpreter's merivane on the PATH."""
    scripts = Path(sys.executable).parent
    return dict(os.environ, PATH=os.pathsep.join([str(scripts), os.environ.get("PATH", "")]))


def tool_document():
    yaml = pytest.importorskip("yaml")
    return yaml.safe_load(TOOL.read_text(encoding="utf-8"))


def test_the_tool_is_valid_cwl():
    checked = subprocess.run([*cwltool_command(), "--validate", str(TOOL)], capture_output=True, text=True)
    assert checked.returncode == 0, checked.stderr
    assert "is valid CWL" in checked.stdout + checked.stderr


def test_every_option_of_the_command_is_an_input():
    """Each option of each pipeline can be given to the tool, and each
    option the tool passes is one the command has."""
    document = tool_document()
    bound = {}
    for name, parameter in document["inputs"].items():
        # An array's items carry the prefix of a repeated option.
        types = parameter["type"] if isinstance(parameter["type"], list) else [parameter["type"]]
        bindings = [parameter.get("inputBinding", {})]
        bindings += [t.get("inputBinding", {}) for t in types if isinstance(t, dict)]
        bound.update({b["prefix"]: name for b in bindings if "prefix" in b})
    subcommands = next(a for a in _command.build_parser()._actions if a.dest == "pipeline").choices
    assert set(document["inputs"]["pipeline"]["type"]["symbols"]) == set(subcommands)
    command_options = set()
    for pipeline, parser in subcommands.items():
        for action in parser._actions:
            if NOT_INPUTS.intersection(action.option_strings):
                continue
            command_options.update(action.option_strings)
            assert bound.keys() & set(action.option_strings), f"{pipeline}: {action.option_strings} is no input"
    assert bound.keys() <= command_options, bound.keys() - command_options
    # The image and package the tool asks for are this version's.
    assert document["hints"]["DockerRequirement"]["dockerPull"] == f"merivane:{__version__}"
    assert document["hints"]["SoftwareRequirement"]["packages"]["merivane"]["version"] == [__version__]


def example(pipeline, name):
    return str(next((EXAMPLES / pipeline).glob(f"*.{name}.*")))


def file_input(path):
    return {"class": "File", "path": path}


# Each run: the pipeline, its inputs, and the same options twice, as the
# tool's inputs and as the command's arguments. --no-version makes the two
# runs' files byte for byte the same.
RUNS = {
    "dragen": ("dragen", {"sv": "sv", "cnv": "cnv", "repeats": "repeats", "roh": "roh"},
               {"drop_filter": ["MaxDepth", "LowQual"], "threads": 2, "level": 6, "index": "tbi",
                "stats": "NA12878.stats.json", "quiet": True},
               ["--drop-filter", "MaxDepth", "--drop-filter", "LowQual", "--threads", "2", "--level", "6",
                "--index", "tbi", "--stats", "NA12878.stats.json", "--quiet"]),
    "ont": ("ont", {"sv": "sv", "cnv": "cnv", "repeats": "repeats"},
            {"modify_repeats": True, "sample": "HG002-1", "sort": "contig", "index": "csi", "donor_header": True},
            ["--modify-repeats", "--sample", "HG002-1", "--sort", "contig", "--index", "csi", "--donor-header"]),
    "pacbio": ("pacbio", {"sv": "sv", "repeats": "trgt"},
               {"no_drop_filter": True, "filtered_repeats": "HG003.catalog.vcf", "allow_no_repeats": True,
                "index": "tbi", "stats": "HG003.json", "verbose": True},
               ["--no-drop-filter", "--filtered-repeats", "HG003.catalog.vcf", "--allow-no-repeats",
                "--index", "tbi", "--stats", "HG003.json", "--verbose"]),
    # Options left unset keep the command's defaults: no index, the
    # catalog's calls named after the TRGT file.
    "pacbio defaults": ("pacbio", {"sv": "sv", "repeats": "trgt"}, {}, []),
}

SHORT_FLAGS = {"sv": "-s", "cnv": "-c", "repeats": "-r", "roh": "-d", "catalog": "-b"}


def statistics_without_folders(path):
    """The counts of a statistics document, its files named without their
    folders (a CWL runner stages the inputs in folders of its own)."""
    document = json.loads(Path(path).read_text(encoding="utf-8"))
    for counts in [*document["inputs"].values(), document["output"]]:
        for key in ("path", "filtered_path"):
            counts[key] = counts.get(key) and Path(counts[key]).name
    return document["inputs"], document["output"]


@pytest.mark.parametrize("case", RUNS)
def test_a_cwl_run_gives_what_the_command_gives(case, tmp_path):
    pipeline, files, tool_options, command_options = RUNS[case]
    cwltool = cwltool_command()
    if shutil.which("node") is None and shutil.which("nodejs") is None:
        pytest.skip("cwltool needs Node.js for the tool's expressions")
    inputs = {name: example(pipeline, stem) for name, stem in files.items()}
    if pipeline == "pacbio" and tool_options:
        inputs["catalog"] = repeats.default_repeat_catalog_path()
    output = "sample.vcf"

    job = {"pipeline": pipeline, "output": output, "no_version": True, **tool_options,
           **{name: file_input(path) for name, path in inputs.items()}}
    (tmp_path / "job.json").write_text(json.dumps(job))
    run = subprocess.run([*cwltool, "--quiet", "--no-container", "--outdir", str(tmp_path / "cwl"), str(TOOL),
                          str(tmp_path / "job.json")], cwd=tmp_path, env=environment(), capture_output=True,
                         text=True)
    assert run.returncode == 0, run.stderr
    results = json.loads(run.stdout)

    direct = tmp_path / "direct"
    direct.mkdir()
    arguments = [argument for name, path in inputs.items() for argument in (SHORT_FLAGS[name], path)]
    subprocess.run([Path(sys.executable).parent / "merivane", pipeline, "-o", output, *arguments, "--no-version",
                    *command_options], cwd=direct, env=environment(), check=True, capture_output=True)

    vcf = results["vcf"]
    assert Path(vcf["path"]).read_bytes() == (direct / f"{output}.gz").read_bytes()
    index = tool_options.get("index")
    assert [Path(s["path"]).name for s in vcf.get("secondaryFiles", [])] == ([f"{output}.gz.{index}"] if index else [])
    for secondary in vcf.get("secondaryFiles", []):
        assert Path(secondary["path"]).read_bytes() == (direct / f"{output}.gz.{index}").read_bytes()

    stats = tool_options.get("stats")
    if stats is None:
        assert results["statistics"] is None and results["multiqc"] == []
    else:
        assert statistics_without_folders(results["statistics"]["path"]) == \
            statistics_without_folders(direct / stats)
        assert sorted(f["basename"] for f in results["multiqc"]) == sorted(p.name for p in direct.glob("*_mqc.json"))

    filtered = results["filtered_repeats_vcf"]
    if pipeline != "pacbio":
        assert filtered is None
    else:
        name = tool_options.get("filtered_repeats", "HG003.trgt_filtered.vcf")
        assert filtered["basename"] == name
        assert Path(filtered["path"]).read_bytes() == (direct / name).read_bytes()
