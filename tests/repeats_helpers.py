"""Inputs shared by the repeat-filter tests: TRGT-like repeat VCFs, a small
catalog, and the three ways a repeat VCF arrives (plain, gzip, BGZF)."""
import gzip
import struct
import zlib

HEADER = (
    "##fileformat=VCFv4.2\n"
    "##INFO=<ID=END,Number=1,Type=Integer,Description=\"End position\">\n"
    "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tSAMPLE1\n"
)

CATALOG = (
    "#chrom\tstart\tend\tinfo\n"
    "chr1\t100\t200\tID=A;MOTIFS=CAG\n"
    "chr1\t150\t180\tID=B;MOTIFS=CAG\n"
    "chr2\t1000\t1010\tID=C;MOTIFS=GAA\n"
    "chrX\t5000\t5100\tID=D;MOTIFS=CGG\n"
)


def trgt_record(chrom, pos, ref_length, name, symbolic=False):
    """A record as TRGT writes it: REF is the reference repeat and END its
    last base, so POS..END and REF cover the same bases."""
    ref = ("CAG" * ref_length)[:ref_length]
    alt = "<STR12>" if symbolic else ref + "CAG"
    end = pos + ref_length - 1
    return (f"{chrom}\t{pos}\t.\t{ref}\t{alt}\t.\tPASS\tTRID={name};END={end};MOTIFS=CAG;STRUC=(CAG)n"
            f"\tGT:AL:SD\t0/1:{ref_length},{ref_length + 3}:12,9\n")


# (record, kept): touching, inside and across catalog intervals, one record in
# two intervals, chromosomes the catalog lacks or spells differently.
RECORDS = [
    (trgt_record("chr1", 91, 10, "touches_start"), False),    # [90, 100)
    (trgt_record("chr1", 92, 10, "across_start"), True),      # [91, 101)
    (trgt_record("chr1", 160, 6, "in_two", symbolic=True), True),
    (trgt_record("chr1", 120, 9, "inside"), True),
    (trgt_record("chr1", 195, 30, "across_end", symbolic=True), True),
    (trgt_record("chr1", 201, 3, "touches_end"), False),      # [200, 203)
    (trgt_record("chr2", 1001, 3, "small_inside"), True),
    (trgt_record("chr2", 2000, 3, "same_chrom_far"), False),
    (trgt_record("chr3", 150, 20, "no_catalog"), False),
    (trgt_record("Chr1", 150, 20, "other_spelling"), False),
    (trgt_record("chrX", 4990, 200, "covers_interval"), True),
]

VCF_TEXT = HEADER + "".join(line for line, _ in RECORDS)
KEPT = [line for line, kept in RECORDS if kept]


def bgzf(data, block_size=4096):
    """BGZF: independent gzip members of at most block_size input bytes, each
    carrying its size in a "BC" extra field, and the empty end-of-file block."""
    out = bytearray()
    chunks = [data[i:i + block_size] for i in range(0, len(data), block_size)] + [b""]
    for chunk in chunks:
        deflater = zlib.compressobj(6, zlib.DEFLATED, -15)
        body = deflater.compress(chunk) + deflater.flush()
        block_size_field = 12 + 6 + len(body) + 8 - 1
        out += b"\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff" + struct.pack("<H", 6)
        out += b"BC" + struct.pack("<HH", 2, block_size_field) + body
        out += struct.pack("<II", zlib.crc32(chunk), len(chunk))
    return bytes(out)


def gzip_members(text, parts=3):
    """Ordinary gzip members one after another, split at line ends (`cat a.gz b.gz`)."""
    lines = text.splitlines(keepends=True)
    step = max(1, len(lines) // parts)
    chunks = ["".join(lines[i:i + step]) for i in range(0, len(lines), step)]
    return b"".join(gzip.compress(chunk.encode("utf-8")) for chunk in chunks)


ENCODINGS = {
    "plain": lambda text: text.encode("utf-8"),
    "gzip": lambda text: gzip.compress(text.encode("utf-8")),
    "gzip members": gzip_members,
    "bgzf": lambda text: bgzf(text.encode("utf-8"), block_size=512),
}


def records_of(path):
    """The non-header lines of a written VCF."""
    with open(path, encoding="utf-8", newline="") as handle:
        return [line for line in handle if not line.startswith("#")]
