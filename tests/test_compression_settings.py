"""threads and compresslevel reach the compressor from Python."""
import gzip
import random

import pytest

from Merivane import compression


@pytest.fixture
def vcf(tmp_path):
    rng = random.Random(1)
    lines = [f"chr{rng.randint(1, 22)}\t{rng.randint(1, 10**8)}\tid{i}\tN\t<DEL>\t.\tPASS\tSVTYPE=DEL\n"
             for i in range(40000)]
    path = tmp_path / "in.vcf"
    path.write_text("#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n" + "".join(lines))
    return path


@pytest.mark.parametrize("call", ["write_bgzf", "sort_and_compress"])
def test_level_changes_the_size_and_threads_change_nothing(tmp_path, vcf, call):
    def compressed(name, **settings):
        out = tmp_path / name
        if call == "write_bgzf":
            compression.write_bgzf(str(vcf), str(out), **settings)
        else:
            compression.sort_and_compress(str(vcf), str(out), keep_plain=True, **settings)
        return out.read_bytes()

    default = compressed("default.gz")
    stored = compressed("stored.gz", compresslevel=0)
    fast = compressed("fast.gz", compresslevel=1, threads=3)
    assert gzip.decompress(stored) == gzip.decompress(fast) == gzip.decompress(default)
    assert len(stored) > vcf.stat().st_size > 3 * len(default)
    assert fast != default
    assert compressed("fast_one_thread.gz", compresslevel=1) == fast
    assert compressed("default_four_threads.gz", threads=4) == default
