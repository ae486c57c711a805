# Types of the Merivane.unifier extension module.
from typing import Any, Dict, Final, Iterable, List, Optional, Sequence, Tuple

from Merivane.compression import sort_and_compress as sort_and_compress

SV: Final[str]
CNV: Final[str]
REPEATS: Final[str]
ROH: Final[str]
FILE_TYPES: Final[Tuple[str, str, str, str]]
_VCF_COLUMN_HEADER: Final[str]

class RohFormat:
    AUTO: Final[str]
    BED: Final[str]
    VCF: Final[str]

class UnifyOptions:
    __match_args__ = ("add_repeat_svtype", "roh_format", "drop_sv_filters")
    def __init__(
        self,
        add_repeat_svtype: Optional[bool] = None,
        roh_format: str = ...,
        drop_sv_filters: Sequence[str] = (),
    ) -> None: ...
    @property
    def add_repeat_svtype(self) -> Optional[bool]: ...
    @property
    def roh_format(self) -> str: ...
    @property
    def drop_sv_filters(self) -> Sequence[str]: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

def get_lines(file_path: str) -> List[str]: ...
def is_empty(lines: Iterable[str]) -> bool: ...
def is_valid_line(line: str) -> bool: ...
def vcf_header_from_lines(vcf_lines: Iterable[str]) -> str: ...
def drop_sv_records_by_filter(lines: Sequence[str], filter_tokens: Sequence[str]) -> List[str]: ...
def modify_repeat_line(repeat_line: str) -> str: ...
def roh_bed_line_to_vcf(bed_line: str) -> str: ...
def read_struct_lines(
    struct_files: Dict[str, Optional[str]], options: Optional[UnifyOptions] = None
) -> Dict[str, Optional[List[str]]]: ...
def unify_lines(
    files_lines: Dict[str, Optional[List[str]]],
    output_path: str,
    options: Optional[UnifyOptions] = None,
    *,
    merge_headers: bool = False,
) -> Optional[str]: ...
def run(
    output_path: str,
    sv_path: Optional[str] = None,
    cnv_path: Optional[str] = None,
    repeat_path: Optional[str] = None,
    roh_bed_path: Optional[str] = None,
    skip_svtype: bool = False,
    drop_sv_filters: Sequence[str] = (),
    *,
    merge_headers: bool = False,
    threads: int = 1,
    compresslevel: int = 9,
    index: Optional[str] = None,
    sort_order: str = "text",
    sample: Optional[str] = None,
    header_lines: Sequence[str] = (),
    stats: Optional[Dict[str, Any]] = None,
) -> Optional[str]: ...
