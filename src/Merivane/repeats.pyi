# Types of the Merivane.repeats extension module.
from typing import Final, Optional

BEDTOOLS: Final[str]
BUILTIN: Final[str]

def bedtools_available() -> bool: ...
def default_repeat_catalog_path() -> str: ...
def filter_repeats_vcf(
    full_repeat_path: Optional[str] = None,
    repeat_bed_file_path: Optional[str] = None,
    engine: Optional[str] = None,
    output_path: Optional[str] = None,
    *,
    require_catalog_chromosomes: bool = False,
) -> Optional[str]: ...
def _filtered_repeat_path(full_repeat_path: str) -> str: ...
