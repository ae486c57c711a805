import pickle

import pytest

import Merivane.unifier as unifier
from Merivane.unifier import UnifyOptions


def test_kinds_and_their_fixed_order():
    assert (unifier.SV, unifier.CNV, unifier.REPEATS, unifier.ROH) == ("sv", "cnv", "repeats", "roh")
    assert isinstance(unifier.FILE_TYPES, tuple)
    assert list(unifier.FILE_TYPES) == ["sv", "cnv", "repeats", "roh"]
    assert unifier._VCF_COLUMN_HEADER == "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT"


def test_roh_format_is_a_plain_namespace_of_texts():
    assert (unifier.RohFormat.AUTO, unifier.RohFormat.BED, unifier.RohFormat.VCF) == ("auto", "bed", "vcf")
    assert isinstance(unifier.RohFormat, type)
    assert unifier.RohFormat.__doc__ == "How a caller's ROH input arrives."
    assert unifier.RohFormat.__module__ == "Merivane.unifier"


def test_default_options_equal_explicit_ones():
    default = UnifyOptions()
    assert default == UnifyOptions(None, "auto", ())
    assert default == UnifyOptions(add_repeat_svtype=None, roh_format=unifier.RohFormat.AUTO, drop_sv_filters=())
    assert default.drop_sv_filters == ()
    assert hash(default) == hash(UnifyOptions())
    assert repr(default) == "UnifyOptions(add_repeat_svtype=None, roh_format='auto', drop_sv_filters=())"


@pytest.mark.parametrize("a, b, equal", [
    (UnifyOptions(True), UnifyOptions(add_repeat_svtype=True), True),
    (UnifyOptions(False), UnifyOptions(None), False),
    (UnifyOptions(roh_format="bed"), UnifyOptions(roh_format="BED"), False),
    (UnifyOptions(drop_sv_filters=("x",)), UnifyOptions(drop_sv_filters=("x",)), True),
    (UnifyOptions(drop_sv_filters=["x"]), UnifyOptions(drop_sv_filters=("x",)), False),
])
def test_equality_is_by_fields(a, b, equal):
    assert (a == b) is equal
    assert (a != b) is not equal


def test_not_equal_to_other_types():
    assert UnifyOptions() != (None, "auto", ())
    assert UnifyOptions() != None  # noqa: E711


@pytest.mark.parametrize("field, value", [
    ("add_repeat_svtype", True), ("roh_format", "bed"), ("drop_sv_filters", ("x",)), ("other", 1),
])
def test_options_are_immutable(field, value):
    options = UnifyOptions(False, "vcf", ["InvBreakpoint"])
    with pytest.raises(AttributeError):
        setattr(options, field, value)
    with pytest.raises(AttributeError):
        delattr(options, field)
    assert options == UnifyOptions(False, "vcf", ["InvBreakpoint"])


def test_fields_are_held_as_given():
    tokens = ["InvBreakpoint"]
    flag = 1
    options = UnifyOptions(flag, "bed", tokens)
    assert options.drop_sv_filters is tokens
    assert options.add_repeat_svtype is flag
    assert UnifyOptions().drop_sv_filters is not tokens


def test_options_survive_pickling():
    options = UnifyOptions(False, "vcf", ("a", "b"))
    assert pickle.loads(pickle.dumps(options)) == options


@pytest.mark.parametrize("kwargs", [{"roh_format": None}, {"roh_format": b"bed"}, {"drop_sv_filters": "InvBreakpoint"}])
def test_bad_field_types_are_type_errors(kwargs):
    with pytest.raises(TypeError):
        UnifyOptions(**kwargs)


def test_too_many_arguments_is_a_type_error():
    with pytest.raises(TypeError):
        UnifyOptions(None, "auto", (), 1)


@pytest.mark.parametrize("name, signature", [
    ("get_lines", "get_lines(file_path: str) -> List[str]\n\nThe file's lines, whether or not it is gzipped."),
    ("is_empty", "is_empty(lines: Iterable[str]) -> bool\n\nTrue when nothing but headers and blank lines is present."),
    ("vcf_header_from_lines", "vcf_header_from_lines(vcf_lines: Iterable[str]) -> str\n\n"
                              "Everything up to and including the #CHROM column header."),
    ("read_struct_lines", "read_struct_lines(struct_files: Dict[str, Optional[str]], options: Optional[UnifyOptions]"
                          " = None) -> Dict[str, Optional[List[str]]]\n\n"
                          "Read each input path into lines, dropping the ones with nothing to add."),
    ("is_valid_line", "is_valid_line(line: str) -> bool"),
    ("modify_repeat_line", "modify_repeat_line(repeat_line: str) -> str"),
    ("_repeat_line_needs_svtype", "_repeat_line_needs_svtype(repeat_line: str) -> bool"),
    ("_marked_repeat_line", "_marked_repeat_line(repeat_line: str, add_repeat_svtype: Optional[bool]) -> str"),
    ("drop_sv_records_by_filter",
     "drop_sv_records_by_filter(lines: Sequence[str], filter_tokens: Sequence[str]) -> List[str]"),
    ("_roh_lines_are_bed", "_roh_lines_are_bed(roh_lines: Sequence[str], declared: str) -> bool"),
    ("roh_bed_line_to_vcf", "roh_bed_line_to_vcf(bed_line: str) -> str"),
    ("unify_lines", "unify_lines(files_lines: Dict[str, Optional[List[str]]], output_path: str, "
                    "options: Optional[UnifyOptions] = None, *, merge_headers: bool = False) -> Optional[str]\n"),
    ("_write_vcf_content", "_write_vcf_content(file_type: str, lines_dict: Dict[str, Optional[List[str]]], "
                           "output_h, options: UnifyOptions) -> None"),
])
def test_docstrings_open_with_the_annotated_signature(name, signature):
    assert getattr(unifier, name).__doc__.startswith(signature)


@pytest.mark.parametrize("use", [
    lambda o: o.roh_format, repr, hash, lambda o: o == UnifyOptions(), lambda o: unifier.read_struct_lines({}, o),
])
def test_a_record_never_initialised_is_refused_not_crashed_on(use):
    with pytest.raises(TypeError):
        use(UnifyOptions.__new__(UnifyOptions))
