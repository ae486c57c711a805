"""Inputs shaped like DRAGEN, ONT and PacBio outputs, for the unifier tests."""
import gzip
import struct
import zlib

COLUMNS = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tSAMPLE1\n"
SITES_ONLY_COLUMNS = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n"


def header(source, contigs=("chr1", "chr2", "chr3", "chrX")):
    lines = ["##fileformat=VCFv4.2\n", f"##source={source}\n"]
    lines += [f"##contig=<ID={c},length=250000000>\n" for c in contigs]
    lines += [
        '##INFO=<ID=SVTYPE,Number=1,Type=String,Description="Type">\n',
        '##INFO=<ID=END,Number=1,Type=Integer,Description="End">\n',
        '##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">\n',
    ]
    return lines + [COLUMNS]


def sv_record(chrom, pos, filt="PASS", gt="0/1", ident=None):
    return f"{chrom}\t{pos}\t{ident or f'sv_{chrom}_{pos}'}\tN\t<DEL>\t50\t{filt}\tSVTYPE=DEL;END={pos + 100}\tGT\t{gt}\n"


def cnv_record(chrom, pos, gt="0/1", svtype=True):
    info = f"SVTYPE=CNV;END={pos + 1000}" if svtype else f"END={pos + 1000}"
    return f"{chrom}\t{pos}\tcnv_{chrom}_{pos}\tN\t<DEL>\t.\tPASS\t{info}\tGT:CN\t{gt}:1\n"


def repeat_record(chrom, pos, info="TRID=tr1;END={end}"):
    return f"{chrom}\t{pos}\t.\tCAGCAG\t<STR4>\t.\tPASS\t{info.format(end=pos + 6)}\tGT:AL\t0/1:6,12\n"


def marked(line):
    cells = line.split("\t")
    cells[7] += ";SVTYPE=REP"
    return "\t".join(cells)


def roh_bed_line(chrom, start, end, score="12.5"):
    return f"{chrom}\t{start}\t{end}\t{score}\t400\t2\n"


def dragen_inputs():
    """Per kind: the lines of a small DRAGEN-like run."""
    sv = header("DRAGEN SV") + [sv_record("chr2", 500), sv_record("chr1", 900), sv_record("chrX", 40)]
    cnv = header("DRAGEN CNV") + [
        cnv_record("chr1", 5000),
        cnv_record("chr3", 700, gt="./.", svtype=False),
        cnv_record("chr2", 100, gt="./.", svtype=True),
    ]
    repeats = header("DRAGEN ExpansionHunter") + [repeat_record("chr3", 300), repeat_record("chr1", 77)]
    roh = ["# DRAGEN ROH\n", roh_bed_line("chr1", 999, 5000), roh_bed_line("chr2", 20, 10, "3")]
    return {"sv": sv, "cnv": cnv, "repeats": repeats, "roh": roh}


def bgzf(data: bytes, block=100) -> bytes:
    """BGZF: gzip members of at most `block` input bytes with the BC extra
    field, then the empty end-of-file member."""
    out = b""
    pieces = [data[i:i + block] for i in range(0, len(data), block)] + [b""]
    for piece in pieces:
        compressor = zlib.compressobj(6, zlib.DEFLATED, -15)
        body = compressor.compress(piece) + compressor.flush()
        bsize = 12 + 6 + len(body) + 8 - 1
        out += (b"\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00BC\x02\x00" + struct.pack("<H", bsize) + body
                + struct.pack("<II", zlib.crc32(piece), len(piece)))
    return out


def write_text(path, text, how="plain"):
    data = text.encode("utf-8")
    if how == "gzip":
        data = gzip.compress(data)
    elif how == "bgzf":
        data = bgzf(data)
    path.write_bytes(data)
    return str(path)
