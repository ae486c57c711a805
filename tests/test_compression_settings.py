"""threads and compresslevel reach the compressor from Python."""
import gzip
import random
import shutil
import struct
import subprocess
import zlib

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


def deflate_payloads(data):
    """The raw deflate data of each BGZF block, in order."""
    payloads, at = [], 0
    while at < len(data):
        size = struct.unpack_from("<H", data, at + 16)[0] + 1
        payloads.append(data[at + 18:at + size - 8])
        at += size
    return payloads


@pytest.mark.skipif(shutil.which("bgzip") is None, reason="bgzip (htslib's tabix package) is not installed")
@pytest.mark.parametrize("level", range(1, 9))
def test_levels_one_to_eight_give_the_blocks_of_bgzip(tmp_path, vcf, level):
    out = tmp_path / "out.gz"
    compression.write_bgzf(str(vcf), str(out), compresslevel=level)
    ours = deflate_payloads(out.read_bytes())
    first = vcf.read_bytes()[:65280]
    as_zlib = zlib.compressobj(level, zlib.DEFLATED, -15)
    if ours[0] == as_zlib.compress(first) + as_zlib.flush():
        pytest.skip("built without libdeflate: every level is zlib's")
    theirs = deflate_payloads(subprocess.run(["bgzip", "-c", "-l", str(level), str(vcf)], check=True,
                                             capture_output=True).stdout)
    assert len(ours) == len(theirs) > 2
    assert ours == theirs
