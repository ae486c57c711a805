import gzip
import os
import subprocess

import pytest

from Merivane import compression

needs_gnu_sort = pytest.mark.skipif(not compression.gnu_sort_available(), reason="no GNU sort installed")
GNU_BANNER = 'echo "sort (GNU coreutils) 9.1"'


@pytest.fixture
def fake_sort(tmp_path, monkeypatch):
    """Makes a directory the whole PATH; `install(script)` puts a `sort` shell script in it."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    monkeypatch.setenv("PATH", str(bin_dir))

    def install(script):
        sort = bin_dir / "sort"
        sort.write_text("#!/bin/sh\n" + script + "\n")
        sort.chmod(0o755)
        return str(sort)

    return install


@pytest.mark.parametrize("script", [
    None,                                            # no sort on PATH at all
    'echo "sort 1.0 (BSD)"',                         # another program called sort
    GNU_BANNER + " >&2",                             # "coreutils" only on standard error
])
def test_a_sort_that_is_not_gnu_sort_counts_as_absent(fake_sort, tmp_path, script):
    if script is not None:
        fake_sort(script)
    assert compression._gnu_sort_path() is None
    assert compression.gnu_sort_available() is False
    with pytest.raises(RuntimeError, match="^GNU sort was requested but is not on PATH$"):
        compression.sort_vcf_lines(["c\t1\n"], engine=compression.GNU_SORT)
    vcf = tmp_path / "in.vcf"
    vcf.write_text("c\t2\nc\t1\n")
    # The default engine falls back to sorting in memory.
    compression.sort_and_compress(str(vcf))
    assert gzip.decompress((tmp_path / "in.vcf.gz").read_bytes()) == b"c\t1\nc\t2\n"


def test_sort_runs_by_full_path_under_lc_all_c_reading_the_records_file(fake_sort, temp_dir, tmp_path, monkeypatch):
    monkeypatch.setenv("LC_ALL", "en_US.UTF-8")
    seen = tmp_path / "seen"
    path = fake_sort(f'case "$1" in --version) {GNU_BANNER};; *) read -r line; echo "$line";'
                     f' echo "$0|$LC_ALL|$*|$line" > "{seen}";; esac')
    assert compression._gnu_sort_path() == path
    assert compression._sort_records_with_gnu_sort(records=["c\t1\n"]) == ["c\t1\n"]
    assert seen.read_text() == f"{path}|C|-k1,1 -k2,2n|c\t1\n"
    assert os.listdir(temp_dir) == []


def test_a_failing_sort_raises_and_leaves_nothing_behind(fake_sort, temp_dir, tmp_path):
    path = fake_sort(f'case "$1" in --version) {GNU_BANNER};; *) exit 3;; esac')
    vcf = tmp_path / "in.vcf"
    vcf.write_text("#h\nc\t2\nc\t1\n")
    with pytest.raises(subprocess.CalledProcessError) as failure:
        compression.sort_and_compress(str(vcf))
    assert (failure.value.returncode, failure.value.cmd) == (3, [path, "-k1,1", "-k2,2n"])
    assert vcf.read_text() == "#h\nc\t2\nc\t1\n"
    assert sorted(os.listdir(tmp_path)) == ["bin", "in.vcf", "tmp"]
    assert os.listdir(temp_dir) == []


@needs_gnu_sort
def test_real_sort_terminates_every_record_and_cleans_up(temp_dir):
    records = ["c\t2\r\n", "c\t1", "c\t10\n", "\u00e9\t1\n"]
    assert compression._sort_records_with_gnu_sort(records) == ["c\t1\n", "c\t2\n", "c\t10\n", "\u00e9\t1\n"]
    assert os.listdir(temp_dir) == []


def test_replaced_lookups_are_honoured(fake_sort, tmp_path, monkeypatch):
    fake_sort(f'case "$1" in --version) {GNU_BANNER};; *) exit 3;; esac')
    monkeypatch.setattr(compression, "gnu_sort_available", lambda: False)
    vcf = tmp_path / "in.vcf"
    vcf.write_text("c\t1\n")
    compression.sort_and_compress(str(vcf))  # in memory: the failing sort never runs
    monkeypatch.setattr(compression, "_gnu_sort_path", lambda: None)
    with pytest.raises(RuntimeError):
        compression.sort_vcf_lines(["c\t1\n"], compression.GNU_SORT)
    monkeypatch.setattr(compression, "_sort_records_with_gnu_sort", lambda records: sorted(records, reverse=True))
    assert compression.sort_vcf_lines(["a\n", "b\n"], compression.GNU_SORT) == ["b\n", "a\n"]
