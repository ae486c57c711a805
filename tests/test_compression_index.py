"""The index keyword as Python sees it: the index file beside each output,
equal to the one tabix builds and answering its queries, the earlier index
it replaces or removes, and the errors. What goes into an index is tested in
the core suite."""
import gzip
import shutil
import subprocess
from pathlib import Path

import pytest

from Merivane import cli, compression, unifier
from Merivane.repeats import default_repeat_catalog_path
from real_data import REAL_DATA, REAL_SV_SAMPLES, needs_real_data

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
HEADER = "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n"
FORMATS = ["tbi", "csi"]

needs_tabix = pytest.mark.skipif(shutil.which("tabix") is None, reason="tabix is not installed")


def record(chrom, pos, info="SVTYPE=DEL", ref="N"):
    return f"{chrom}\t{pos}\t.\t{ref}\t<DEL>\t.\tPASS\t{info}\n"


def tabix_index(gz, index, tmp_path):
    """The decompressed index that tabix builds for a copy of `gz`."""
    copy = tmp_path / "tabix-copy.vcf.gz"
    shutil.copyfile(gz, copy)
    subprocess.run(["tabix", "-f", "-p", "vcf"] + ["--csi"] * (index == "csi") + [str(copy)],
                   check=True, capture_output=True)
    return gzip.decompress(Path(f"{copy}.{index}").read_bytes())


def examples(tmp_path):
    for pipeline in ("dragen", "ont", "pacbio"):
        shutil.copytree(EXAMPLES / pipeline, tmp_path / pipeline)
    d, o, p = tmp_path / "dragen", tmp_path / "ont", tmp_path / "pacbio"
    return d, o, p


# Each function taking `index`, run on a bundled example: (call, output).
def calls(tmp_path):
    d, o, p = examples(tmp_path)
    dragen = dict(sv_path=str(d / "NA12878.sv.vcf"), cnv_path=str(d / "NA12878.cnv.vcf"),
                  repeat_path=str(d / "NA12878.repeats.vcf"), roh_bed_path=str(d / "NA12878.roh.bed"))
    sorted_sv = tmp_path / "sorted.vcf"
    sorted_sv.write_text("".join(compression.sort_vcf_lines(
        (o / "HG002.sv.vcf").read_text().splitlines(True), compression.PYTHON_SORT)))
    return {
        "write_bgzf": (lambda **k: compression.write_bgzf(str(sorted_sv), str(tmp_path / "w.vcf.gz"), **k)),
        "sort_and_compress": (lambda **k: compression.sort_and_compress(str(o / "HG002.cnv.vcf"), **k)),
        "run": (lambda **k: unifier.run(str(d / "run.vcf"), **dragen, **k)),
        "_unify": (lambda **k: cli._unify({cli.SV: str(o / "HG002.sv.vcf"), cli.REPEATS: str(o / "HG002.repeats.vcf")},
                                          str(o / "u.vcf"), unifier.UnifyOptions(), **k)),
        "dragen_unify": (lambda **k: cli.dragen_unify(str(d / "door.vcf"), *dragen.values(), **k)),
        "ont_unify": (lambda **k: cli.ont_unify(str(o / "door.vcf"), str(o / "HG002.sv.vcf"), str(o / "HG002.cnv.vcf"),
                                                str(o / "HG002.repeats.vcf"), **k)),
        "pacbio_unify": (lambda **k: cli.pacbio_unify(str(p / "door.vcf"), str(p / "HG003.sv.vcf"),
                                                      drop_sv_filters=["InvBreakpoint"], **k)),
        "pacbio_filter_and_unify": (lambda **k: cli.pacbio_filter_and_unify(
            str(p / "f.vcf"), str(p / "HG003.sv.vcf"), full_repeat_path=str(p / "HG003.trgt.vcf"),
            repeat_bed_file_path=default_repeat_catalog_path(), **k)),
    }


CALL_NAMES = ["write_bgzf", "sort_and_compress", "run", "_unify", "dragen_unify", "ont_unify", "pacbio_unify",
              "pacbio_filter_and_unify"]


@needs_tabix
@pytest.mark.parametrize("index", FORMATS)
@pytest.mark.parametrize("name", CALL_NAMES)
def test_each_function_writes_the_index_tabix_would(tmp_path, name, index):
    out = calls(tmp_path)[name](index=index)
    other = "csi" if index == "tbi" else "tbi"
    assert not Path(f"{out}.{other}").exists()
    assert gzip.decompress(Path(f"{out}.{index}").read_bytes()) == tabix_index(out, index, tmp_path)


@needs_tabix
@needs_real_data
@pytest.mark.parametrize("sample", REAL_SV_SAMPLES)
def test_real_caller_output_indexed_like_tabix_and_queried(tmp_path, sample):
    vcf = tmp_path / "real.vcf"
    shutil.copyfile(REAL_DATA / sample, vcf)
    out = compression.sort_and_compress(str(vcf), index="tbi")
    assert gzip.decompress(Path(out + ".tbi").read_bytes()) == tabix_index(out, "tbi", tmp_path)
    # tabix answers a region query from the index beside the file.
    with gzip.open(out, "rt") as text:
        expected = [line for line in text if line.startswith("chr1\t") and int(line.split("\t")[1]) <= 1000000]
    answer = subprocess.run(["tabix", out, "chr1:1-1000000"], check=True, capture_output=True, text=True).stdout
    assert answer.splitlines(True) == expected and expected


def make_earlier(tmp_path, formats):
    """An earlier output with the given indexes beside it; its bytes by path."""
    out = tmp_path / "out.vcf.gz"
    old = {out: b"earlier data"}
    for index in formats:
        old[Path(f"{out}.{index}")] = f"earlier {index}".encode()
    for path, data in old.items():
        path.write_bytes(data)
    return out, old


# The index of the new output, and which earlier ones stay: only an index of
# the new data is ever left beside it.
@pytest.mark.parametrize("index, earlier", [(None, ["tbi", "csi"]), ("tbi", ["csi"]), ("csi", ["tbi", "csi"])])
def test_a_new_output_never_keeps_an_earlier_index(tmp_path, index, earlier):
    source = tmp_path / "in.vcf"
    source.write_text(HEADER + record("chr1", 100))
    out, _ = make_earlier(tmp_path, earlier)
    compression.write_bgzf(str(source), str(out), index=index)
    expected = {"in.vcf", "out.vcf.gz"} | ({f"out.vcf.gz.{index}"} if index else set())
    assert {p.name for p in tmp_path.iterdir()} == expected
    if index:
        assert Path(f"{out}.{index}").read_bytes()[:4] == b"\x1f\x8b\x08\x04"


# A call that fails leaves the earlier output and its index as they were.
FAILURES = [
    ("tbi", HEADER + record("chr1", 100) + record("chr2", 5) + record("chr1", 200), "line 5"),
    ("csi", HEADER + record("chr1", 200) + record("chr1", 100), "line 4"),
    ("tbi", HEADER + record("chr1", 2 ** 29 + 1), "csi"),
]


@pytest.mark.parametrize("index, text, named", FAILURES)
def test_write_bgzf_refuses_what_tabix_cannot_index_and_writes_nothing(tmp_path, index, text, named):
    source = tmp_path / "in.vcf"
    source.write_text(text)
    out, old = make_earlier(tmp_path, ["tbi", "csi"])
    with pytest.raises(ValueError, match=named) as error:
        compression.write_bgzf(str(source), str(out), index=index)
    assert str(source) in str(error.value)
    assert {p: p.read_bytes() for p in tmp_path.iterdir() if p != source} == old


def test_sort_and_compress_refuses_a_position_a_tbi_cannot_hold(tmp_path):
    vcf = tmp_path / "in.vcf"
    vcf.write_text(HEADER + record("chr1", 2 ** 29, ref="NN"))
    with pytest.raises(ValueError, match="csi"):
        compression.sort_and_compress(str(vcf), index="tbi")
    assert [p.name for p in tmp_path.iterdir()] == ["in.vcf"]
    out = compression.sort_and_compress(str(vcf), index="csi")
    assert Path(out + ".csi").exists()


# An input where the output's index goes would be replaced or removed by it.
@pytest.mark.parametrize("index", [None, "tbi"])
@pytest.mark.parametrize("call", [
    lambda d, index: compression.write_bgzf(str(d / "out.vcf.gz.tbi"), str(d / "out.vcf.gz"), index=index),
    lambda d, index: compression.sort_and_compress(str(d / "out.vcf.gz.csi"), str(d / "out.vcf.gz"), True,
                                                   index=index),
    lambda d, index: cli.pacbio_filter_and_unify(
        str(d / "out.vcf"), str(d / "sv.vcf"), full_repeat_path=str(d / "sv.vcf"),
        repeat_bed_file_path=default_repeat_catalog_path(), filtered_repeat_path=str(d / "out.vcf.gz.tbi"),
        index=index),
], ids=["write_bgzf", "sort_and_compress", "pacbio_filter_and_unify"])
def test_an_input_where_the_index_goes_is_refused(tmp_path, call, index):
    text = HEADER + record("chr1", 100)
    for name in ("out.vcf.gz.tbi", "out.vcf.gz.csi", "sv.vcf"):
        (tmp_path / name).write_text(text)
    with pytest.raises(ValueError):
        call(tmp_path, index)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.vcf.gz.csi", "out.vcf.gz.tbi", "sv.vcf"]
    assert all((tmp_path / name).read_text() == text for name in ("out.vcf.gz.tbi", "out.vcf.gz.csi"))
