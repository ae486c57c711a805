import gzip
import logging
import os
import pathlib
import shutil
import subprocess

import pytest

from Merivane import compression
from real_data import REAL_DATA, needs_real_data

needs_gnu_sort = pytest.mark.skipif(not compression.gnu_sort_available(), reason="no GNU sort installed")
ENGINES = [None, compression.PYTHON_SORT, pytest.param(compression.GNU_SORT, marks=needs_gnu_sort)]

HEADER = "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n"
VCF = HEADER + "chr2\t50\t.\tN\t<DEL>\t.\tPASS\tEND=60\n\nchr10\t5\t.\tN\t<DUP>\t.\tPASS\tEND=9\n" \
    "##late=1\nchr2\t7\t.\tN\t<INS>\t.\tPASS\t.\n"
SORTED = HEADER + "##late=1\nchr10\t5\t.\tN\t<DUP>\t.\tPASS\tEND=9\nchr2\t7\t.\tN\t<INS>\t.\tPASS\t.\n" \
    "chr2\t50\t.\tN\t<DEL>\t.\tPASS\tEND=60\n"


def check_tabix_accepts(path):
    if shutil.which("tabix") is None:
        pytest.skip("tabix is not installed")
    subprocess.run(["tabix", "-f", "-p", "vcf", path], check=True, capture_output=True)


@pytest.mark.parametrize("engine", ENGINES)
def test_sorted_bgzf_that_tabix_indexes(tmp_path, root_records, engine):
    vcf = tmp_path / "input.vcf"
    vcf.write_text(VCF)
    out = compression.sort_and_compress(str(vcf), engine=engine)
    assert out == str(vcf) + ".gz"
    assert gzip.decompress(pathlib.Path(out).read_bytes()).decode() == SORTED
    assert sorted(os.listdir(tmp_path)) == ["input.vcf.gz"]
    check_tabix_accepts(out)
    assert [(r.levelname, r.msg, r.args) for r in root_records.records if r.levelno == logging.INFO] == [
        ("INFO", "Wrote sorted, bgzipped VCF to %s", (out,))]


@pytest.mark.parametrize("destination, keep_plain, kept", [
    ("", 0, False),
    ("out.vcf.gz", "yes", True),
    ("out.vcf.gz", [], False),
])
def test_destination_and_keep_plain(tmp_path, destination, keep_plain, kept):
    vcf = tmp_path / "in.vcf"
    vcf.write_bytes(VCF.encode())
    wanted = str(tmp_path / destination) if destination else destination
    out = compression.sort_and_compress(vcf_file_path=str(vcf), destination_path=wanted, keep_plain=keep_plain)
    assert out is wanted if destination else out == str(vcf) + ".gz"
    assert gzip.decompress(pathlib.Path(out).read_bytes()).decode() == SORTED
    assert vcf.exists() == kept and (not kept or vcf.read_bytes() == VCF.encode())


@pytest.mark.parametrize("text, expected", [
    ("", ""),
    (HEADER, HEADER),
    ("#h\r\nc\t2\rc\t1\r\n", "#h\nc\t1\nc\t2\n"),
    ("c\t2\n#h", "#h\nc\t2\n"),
])
def test_input_edge_cases(tmp_path, text, expected):
    vcf = tmp_path / "in.vcf"
    vcf.write_bytes(text.encode())
    data = pathlib.Path(compression.sort_and_compress(str(vcf))).read_bytes()
    assert gzip.decompress(data).decode() == expected
    assert data.endswith(compression._BGZF_EOF) and (text or data == compression._BGZF_EOF)


@pytest.mark.parametrize("destination, engine, error", [
    ("{vcf}", None, ValueError),
    ("{dir}/./in.vcf", None, ValueError),
    ("{dir}/link.vcf", None, ValueError),
    ("{dir}/missing/out.gz", None, FileNotFoundError),
    (None, "fast", ValueError),
])
def test_failures_leave_the_input_alone(tmp_path, destination, engine, error):
    vcf = tmp_path / "in.vcf"
    vcf.write_text(VCF)
    os.link(vcf, tmp_path / "link.vcf")
    if destination:
        destination = destination.format(vcf=vcf, dir=tmp_path)
    with pytest.raises(error):
        compression.sort_and_compress(str(vcf), destination, False, engine)
    assert vcf.read_text() == VCF
    assert sorted(os.listdir(tmp_path)) == ["in.vcf", "link.vcf"]


def test_non_utf8_input_writes_nothing(tmp_path):
    vcf = tmp_path / "in.vcf"
    vcf.write_bytes(HEADER.encode() + b"chr1\t1\t\xff\n")
    with pytest.raises(UnicodeDecodeError):
        compression.sort_and_compress(str(vcf))
    assert os.listdir(tmp_path) == ["in.vcf"]


def test_write_bgzf_round_trip(tmp_path):
    source = tmp_path / "data"
    source.write_bytes(bytes(range(256)) * 600 + b"tail")
    destination = str(tmp_path / "data.gz")
    assert compression.write_bgzf(source_path=str(source), destination_path=destination) is destination
    assert gzip.decompress(pathlib.Path(destination).read_bytes()) == source.read_bytes()
    assert compression._bgzf_block(b"") == compression._BGZF_EOF
    assert gzip.decompress(compression._bgzf_block(bytearray(b"abc"))) == b"abc"


@needs_real_data
@pytest.mark.parametrize("name", sorted(p.relative_to(REAL_DATA).as_posix() for p in REAL_DATA.glob("*/*.vcf")))
def test_real_caller_outputs(tmp_path, name):
    # The sorted temporary file goes beside the input: work on a copy.
    vcf = tmp_path / "input.vcf"
    shutil.copyfile(REAL_DATA / name, vcf)
    outputs = set()
    for engine in [compression.PYTHON_SORT] + [compression.GNU_SORT] * compression.gnu_sort_available():
        out = compression.sort_and_compress(str(vcf), str(tmp_path / f"{engine}.vcf.gz"), True, engine)
        check_tabix_accepts(out)
        outputs.add(pathlib.Path(out).read_bytes())
    assert len(outputs) == 1
