"""The keyword-only output settings (merge_headers, threads, compresslevel,
index, sort_order) as Python sees them: checked before any file is touched, and passed
on to a replaced function only when they differ from their defaults."""
import gzip
import shutil
from pathlib import Path

import pytest

from Merivane import cli, compression, unifier

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


@pytest.fixture
def pacbio(tmp_path):
    shutil.copytree(EXAMPLES / "pacbio", tmp_path / "in")
    return tmp_path / "in"


def entries(d):
    """Each function taking the settings, with arguments that would run it."""
    sv, out = str(d / "HG003.sv.vcf"), str(d / "out.vcf")
    return {
        "write_bgzf": (compression.write_bgzf, (sv, out + ".gz")),
        "sort_and_compress": (compression.sort_and_compress, (sv, out + ".gz", True)),
        "run": (unifier.run, (out, sv)),
        "_unify": (cli._unify, ({cli.SV: sv}, out, unifier.UnifyOptions())),
        "dragen_unify": (cli.dragen_unify, (out, sv)),
        "ont_unify": (cli.ont_unify, (out, sv)),
        "pacbio_unify": (cli.pacbio_unify, (out, sv)),
        "pacbio_filter_and_unify": (cli.pacbio_filter_and_unify, (out, sv)),
    }


ENTRY_NAMES = list(entries(Path(".")))

BAD_SETTINGS = [
    ({"threads": 0}, ValueError),
    ({"threads": -3}, ValueError),
    ({"threads": 2 ** 80}, ValueError),
    ({"compresslevel": -1}, ValueError),
    ({"compresslevel": 10}, ValueError),
    ({"index": "bai"}, ValueError),
    ({"index": "TBI"}, ValueError),
    ({"index": ""}, ValueError),
    ({"threads": "2"}, TypeError),
    ({"threads": 2.0}, TypeError),
    ({"compresslevel": None}, TypeError),
    ({"index": 1}, TypeError),
    ({"index": b"tbi"}, TypeError),
]


@pytest.mark.parametrize("name", ENTRY_NAMES)
@pytest.mark.parametrize("settings, error", BAD_SETTINGS)
def test_bad_settings_are_refused_before_any_file_is_touched(pacbio, name, settings, error):
    function, args = entries(pacbio)[name]
    before = sorted(p.name for p in pacbio.iterdir())
    with pytest.raises(error):
        function(*args, **settings)
    assert sorted(p.name for p in pacbio.iterdir()) == before


@pytest.mark.parametrize("name", ENTRY_NAMES[1:])
@pytest.mark.parametrize("order, error", [("Contig", ValueError), ("", ValueError), (None, TypeError),
                                          (b"contig", TypeError)])
def test_bad_sort_orders_are_refused_before_any_file_is_touched(pacbio, name, order, error):
    function, args = entries(pacbio)[name]
    before = sorted(p.name for p in pacbio.iterdir())
    with pytest.raises(error, match="sort_order"):
        function(*args, sort_order=order)
    assert sorted(p.name for p in pacbio.iterdir()) == before


@pytest.mark.parametrize("name", ENTRY_NAMES)
def test_settings_are_keyword_only(pacbio, name):
    function, args = entries(pacbio)[name]
    padding = (None,) * (function.__doc__.split(" *,")[0].count(":") - len(args))
    with pytest.raises(TypeError):
        function(*args, *padding, 2)


@pytest.mark.parametrize("name", ["run", "_unify", "dragen_unify", "ont_unify", "pacbio_unify",
                                  "pacbio_filter_and_unify"])
def test_other_settings_give_the_same_records(pacbio, name):
    function, args = entries(pacbio)[name]
    with gzip.open(function(*args)) as output:
        plain = output.read()
    shutil.copy(EXAMPLES / "pacbio" / "HG003.sv.vcf", pacbio / "HG003.sv.vcf")
    with gzip.open(function(*args, threads=2, compresslevel=1)) as output:
        assert output.read() == plain


SETTINGS = [
    ({}, {}, {}),
    ({"threads": 2}, {}, {"threads": 2}),
    ({"merge_headers": True}, {"merge_headers": True}, {}),
    ({"merge_headers": 0, "threads": True, "compresslevel": 9, "index": None}, {}, {}),
    ({"compresslevel": 0, "index": "csi"}, {}, {"compresslevel": 0, "index": "csi"}),
    ({"sort_order": "text"}, {}, {}),
    ({"sort_order": "contig", "merge_headers": True}, {"merge_headers": True}, {"sort_order": "contig"}),
]


@pytest.fixture
def recorded(monkeypatch):
    """unify_lines and sort_and_compress replaced in both modules by recorders."""
    calls = []

    def unify_lines(files_lines, output_path, options, **keywords):
        calls.append(("unify_lines", keywords))
        return output_path

    def sort_and_compress(path, **keywords):
        calls.append(("sort_and_compress", (path,), keywords))
        return path + ".gz"

    for module in (unifier, cli):
        monkeypatch.setattr(module, "unify_lines", unify_lines)
        monkeypatch.setattr(module, "sort_and_compress", sort_and_compress)
    return calls


@pytest.mark.parametrize("given, unify_keywords, compress_keywords", SETTINGS)
@pytest.mark.parametrize("entry", ["run", "_unify"])
def test_replaced_steps_get_only_the_settings_that_differ(pacbio, recorded, entry, given, unify_keywords,
                                                           compress_keywords):
    function, args = entries(pacbio)[entry]
    assert function(*args, **given) == str(pacbio / "out.vcf.gz")
    assert recorded == [("unify_lines", unify_keywords),
                        ("sort_and_compress", (str(pacbio / "out.vcf"),), compress_keywords)]


@pytest.mark.parametrize("given, unify_keywords, compress_keywords", SETTINGS)
@pytest.mark.parametrize("door", ["dragen_unify", "ont_unify", "pacbio_unify", "pacbio_filter_and_unify"])
def test_doors_hand_a_replaced_unify_only_the_settings_that_differ(pacbio, monkeypatch, door, given, unify_keywords,
                                                                   compress_keywords):
    seen = []
    monkeypatch.setattr(cli, "_unify", lambda *args, **keywords: seen.append((len(args), keywords)) or "done")
    function, args = entries(pacbio)[door]
    assert function(*args, **given) == "done"
    assert seen == [(3, {**unify_keywords, **compress_keywords})]


@pytest.mark.parametrize("stats", ["s.json", {}], ids=["path", "dict"])
@pytest.mark.parametrize("door", ["dragen_unify", "pacbio_filter_and_unify"])
def test_doors_hand_a_replaced_unify_the_statistics_asked_for(pacbio, monkeypatch, door, stats):
    # A path dropped on the way would leave a run reported as done without its statistics.
    seen = []
    monkeypatch.setattr(cli, "_unify", lambda *args, **keywords: seen.append(keywords) or "done")
    function, args = entries(pacbio)[door]
    assert function(*args, stats=stats) == "done"
    assert seen == [{"stats": stats}]


def test_filtered_repeat_path_reaches_a_replaced_filter_only_when_given(pacbio, monkeypatch):
    seen = []
    monkeypatch.setattr(cli, "filter_repeats_vcf", lambda *args, **keywords: seen.append((args, keywords)))
    monkeypatch.setattr(cli, "pacbio_unify", lambda **keywords: seen.append(keywords) or "done")
    out, full, bed = str(pacbio / "out.vcf"), str(pacbio / "HG003.trgt.vcf"), "catalog.bed"
    cli.pacbio_filter_and_unify(out, None, None, full, bed)
    cli.pacbio_filter_and_unify(out, None, None, full, bed, filtered_repeat_path="kept.vcf", threads=3)
    assert seen[0] == ((full, bed), {})
    assert seen[2] == ((full, bed), {"output_path": "kept.vcf"})
    assert seen[3]["threads"] == 3 and "merge_headers" not in seen[3]


def test_filtered_repeat_path_names_where_the_filtered_vcf_stays(pacbio):
    catalog = pacbio / "catalog.bed"
    catalog.write_text("chr1\t0\t248956422\n")
    kept = pacbio / "kept" / "repeats.vcf"
    kept.parent.mkdir()
    result = cli.pacbio_filter_and_unify(str(pacbio / "out.vcf"), str(pacbio / "HG003.sv.vcf"), None,
                                         str(pacbio / "HG003.trgt.vcf"), str(catalog),
                                         filtered_repeat_path=str(kept))
    assert Path(result).exists() and kept.exists()
    assert not (pacbio / "HG003.trgt_filtered.vcf").exists()


def test_filtered_repeat_path_naming_an_input_is_refused(pacbio):
    sv = pacbio / "HG003.sv.vcf"
    before = sv.read_bytes()
    with pytest.raises(ValueError):
        cli.pacbio_filter_and_unify(str(pacbio / "out.vcf"), str(sv), None, str(pacbio / "HG003.trgt.vcf"),
                                    cli.__file__, filtered_repeat_path=str(sv))
    assert sv.read_bytes() == before
