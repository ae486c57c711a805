# Types of the Merivane.cli extension module.
import argparse
from typing import Any, Dict, Optional, Sequence, Tuple, Union

from Merivane.repeats import filter_repeats_vcf as filter_repeats_vcf
from Merivane.unifier import CNV as CNV
from Merivane.unifier import REPEATS as REPEATS
from Merivane.unifier import ROH as ROH
from Merivane.unifier import SV as SV
from Merivane.unifier import UnifyOptions as UnifyOptions
from Merivane.unifier import read_struct_lines as read_struct_lines
from Merivane.unifier import sort_and_compress as sort_and_compress
from Merivane.unifier import unify_lines as unify_lines

_NOT_GIVEN_WARNINGS: Tuple[str, str, str]

def _written_in_place(path: str) -> bool: ...
def _filtered_repeat_path_for(full_repeat_path: str, output_path: str, stream: bool) -> str: ...

def _unify(
    struct_files: Dict[str, Optional[str]],
    output_path: str,
    options: UnifyOptions,
    *,
    merge_headers: bool = False,
    threads: int = 1,
    compresslevel: int = 9,
    index: Optional[str] = None,
    sort_order: str = "text",
    sample: Optional[str] = None,
    header_lines: Sequence[str] = (),
    stats: Optional[Union[Dict[str, Any], str]] = None,
    command: Optional[str] = None,
) -> Optional[str]: ...
def dragen_unify(
    output_path: str,
    sv_path: Optional[str] = None,
    cnv_path: Optional[str] = None,
    repeat_path: Optional[str] = None,
    roh_bed_path: Optional[str] = None,
    *,
    merge_headers: bool = False,
    threads: int = 1,
    compresslevel: int = 9,
    index: Optional[str] = None,
    sort_order: str = "text",
    sample: Optional[str] = None,
    header_lines: Sequence[str] = (),
    stats: Optional[Union[Dict[str, Any], str]] = None,
    command: Optional[str] = None,
) -> Optional[str]: ...
def ont_unify(
    output_path: str,
    sv_path: Optional[str] = None,
    cnv_path: Optional[str] = None,
    repeat_path: Optional[str] = None,
    modify_repeats: Optional[bool] = None,
    *,
    merge_headers: bool = False,
    threads: int = 1,
    compresslevel: int = 9,
    index: Optional[str] = None,
    sort_order: str = "text",
    sample: Optional[str] = None,
    header_lines: Sequence[str] = (),
    stats: Optional[Union[Dict[str, Any], str]] = None,
    command: Optional[str] = None,
) -> Optional[str]: ...
def pacbio_unify(
    output_path: str,
    sv_path: Optional[str] = None,
    cnv_path: Optional[str] = None,
    repeat_path: Optional[str] = None,
    drop_sv_filters: Sequence[str] = (),
    *,
    merge_headers: bool = False,
    threads: int = 1,
    compresslevel: int = 9,
    index: Optional[str] = None,
    sort_order: str = "text",
    sample: Optional[str] = None,
    header_lines: Sequence[str] = (),
    stats: Optional[Union[Dict[str, Any], str]] = None,
    command: Optional[str] = None,
) -> Optional[str]: ...
def pacbio_filter_and_unify(
    output_path: str,
    sv_path: Optional[str] = None,
    cnv_path: Optional[str] = None,
    full_repeat_path: Optional[str] = None,
    repeat_bed_file_path: Optional[str] = None,
    drop_sv_filters: Sequence[str] = (),
    *,
    filtered_repeat_path: Optional[str] = None,
    merge_headers: bool = False,
    threads: int = 1,
    compresslevel: int = 9,
    index: Optional[str] = None,
    sort_order: str = "text",
    require_catalog_chromosomes: bool = False,
    sample: Optional[str] = None,
    header_lines: Sequence[str] = (),
    stats: Optional[Union[Dict[str, Any], str]] = None,
    command: Optional[str] = None,
) -> Optional[str]: ...
def _add_common_arguments(parser: argparse.ArgumentParser) -> None: ...
def dragen_from_cli(argv: Optional[Sequence[str]] = None) -> None: ...
def ont_from_cli(argv: Optional[Sequence[str]] = None) -> None: ...
def pacbio_from_cli(argv: Optional[Sequence[str]] = None) -> None: ...

# The installed commands; each returns its exit status.
def _main(argv: Optional[Sequence[str]] = None) -> int: ...
def _dragen_command(argv: Optional[Sequence[str]] = None) -> int: ...
def _ont_command(argv: Optional[Sequence[str]] = None) -> int: ...
def _pacbio_command(argv: Optional[Sequence[str]] = None) -> int: ...
