import logging

import pytest

from Merivane import compression

needs_gnu_sort = pytest.mark.skipif(not compression.gnu_sort_available(), reason="no GNU sort installed")
ENGINES = [compression.PYTHON_SORT, pytest.param(compression.GNU_SORT, marks=needs_gnu_sort)]


def fresh(text):
    """A new str object with the value of text (literals may be shared)."""
    return "".join(list(text))


def test_in_memory_engine_hands_back_the_objects_it_was_given():
    lines = [fresh("c\t2\n"), fresh("#h\n"), fresh("  \n"), fresh("c\t1\n")]
    header, records = compression.split_header(lines)
    assert [id(x) for x in header + records] == [id(lines[1]), id(lines[0]), id(lines[3])]
    out = compression.sort_vcf_lines(lines)
    assert [id(x) for x in out] == [id(lines[1]), id(lines[3]), id(lines[0])]


@pytest.mark.parametrize("engine", ENGINES)
def test_unterminated_lines_are_never_joined(engine):
    # A last "#" line without a line feed would otherwise swallow the first record.
    assert compression.sort_vcf_lines(["c\t2\n", "c\t1", "#last"], engine=engine) == ["#last\n", "c\t1\n", "c\t2\n"]


@pytest.mark.parametrize("engine", ENGINES)
def test_engines_order_non_ascii_and_huge_positions_alike(engine):
    lines = ["\u00e9\t1\n", "z\t1\n", "\U0001F600\t1\n", "\ufffd\t1\n", "c\t" + "9" * 25 + "\n", "c\t-" + "9" * 25 + "\n",
             "c\t9223372036854775807\n"]
    assert compression.sort_vcf_lines(lines, engine) == [lines[i] for i in (5, 6, 4, 1, 0, 3, 2)]


def test_unknown_engine_is_refused_after_the_input_was_read():
    seen = []

    def lines():
        for line in ["c\t1\n", "#h\n"]:
            seen.append(line)
            yield line

    with pytest.raises(ValueError, match=r"^Unknown sort engine: 'fast'$"):
        compression.sort_vcf_lines(lines(), engine="fast")
    assert seen == ["c\t1\n", "#h\n"]
    assert compression.sort_vcf_lines(["c\t2\n", "c\t1\n"], "") == ["c\t1\n", "c\t2\n"]


@pytest.mark.parametrize("line, chromosome, position, warned", [
    ("chr1\t12\tx\n", "chr1", 12, False),
    ("chr1\t +7 \n", "chr1", 7, False),
    ("chr1\t-" + "1" * 5000 + "\n", "chr1", -(10 ** 5000 - 1) // 9, False),
    ("chr1\t4.2\tx\n", "chr1", 0, True),
    ("\u00e9" * 100 + "\n", "\u00e9" * 100 + "\n", 0, True),
], ids=["plain", "spaces-and-sign", "past-host-digit-limit", "decimal", "no-tab"])
def test_sort_key(root_records, line, chromosome, position, warned):
    assert compression._sort_key(line=line) == (chromosome, position, line)
    warnings = [r for r in root_records.records if r.levelno == logging.WARNING]
    assert [(r.name, r.msg, r.args) for r in warnings] == (
        [("root", "Record has no numeric POS, sorting it first: %r", (line[:80],))] if warned else [])


@pytest.mark.parametrize("call", [
    lambda: compression.sort_vcf_lines([b"c\t1\n"]),
    lambda: compression.sort_vcf_lines([], engine=5),
    lambda: compression._bgzf_block("text"),
    lambda: compression.write_bgzf(b"in", "out"),
    lambda: compression.sort_and_compress(None),
])
def test_wrong_argument_types_raise_type_error(call):
    with pytest.raises(TypeError):
        call()
