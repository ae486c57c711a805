# Types of the Merivane.compression extension module.
from typing import Final, Iterable, List, Optional, Tuple

GNU_SORT: Final[str]
PYTHON_SORT: Final[str]
_DEFAULT_LEVEL: Final[int]
# The lowest and the highest compression level.
_LEVELS: Final[Tuple[int, int]]

def gnu_sort_available() -> bool: ...
def split_header(lines: Iterable[str]) -> Tuple[List[str], List[str]]: ...
def sort_vcf_lines(lines: Iterable[str], engine: Optional[str] = None) -> List[str]: ...
def write_bgzf(
    source_path: str,
    destination_path: str,
    *,
    threads: int = 1,
    compresslevel: int = 9,
    index: Optional[str] = None,
) -> str: ...
def sort_and_compress(
    vcf_file_path: str,
    destination_path: Optional[str] = None,
    keep_plain: bool = False,
    engine: Optional[str] = None,
    *,
    threads: int = 1,
    compresslevel: int = 9,
    index: Optional[str] = None,
    sort_order: str = "text",
) -> str: ...
