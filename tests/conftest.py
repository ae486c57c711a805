import fnmatch
import logging
import sys

import pytest


@pytest.fixture
def root_records(caplog):
    """Log records of the root logger, at INFO and above."""
    caplog.set_level(logging.INFO)
    return caplog


@pytest.fixture
def temp_dir(tmp_path, monkeypatch):
    """The system temporary directory, pointed at an empty test directory so
    that anything left behind there is seen."""
    path = tmp_path / "tmp"
    path.mkdir()
    monkeypatch.setenv("TMPDIR", str(path))
    return path


# Tests that need what only a POSIX system has, or what wine lacks, skipped on
# Windows; each pattern matches test ids (file::name[case]) under its reason.
WINDOWS_SKIPS = {
    "needs POSIX signals (SIGTERM, process groups), not only Ctrl-C": [
        "test_cli_merivane.py::test_a_stop_signal_exits_128_plus_it_and_leaves_no_output*",
        "test_host_bridge.py::test_ctrl_c_interrupts_a_long_call_with_keyboard_interrupt*",
    ],
    "needs FIFOs, /dev or /proc": [
        "test_cli_merivane.py::test_an_output_that_is_no_file_gets_the_bgzipped_stream*",
        "test_repeats_filter.py::test_a_repeat_input_that_is_not_a_file_is_read_once*",
        "test_reliability_faults.py::test_output_on_a_full_device_raises_no_space*",
        "test_operational_safety.py::test_killed_compression_leaves_the_earlier_output",
        "test_operational_safety.py::test_a_full_disk_leaves_the_earlier_output",
    ],
    "needs POSIX permission bits (a mode of 0 or a read-only folder)": [
        "test_cli_merivane.py::test_read_only_output_directory_ends_in_one_line*",
        "test_reliability_faults.py::test_unreadable_input_is_a_permission_error*",
        "test_operational_safety.py::test_a_folder_that_takes_no_new_file_is_named_and_the_earlier_output_kept",
    ],
    "needs symbolic links, which Windows gives only to administrators": [
        "test_reliability_faults.py::test_link_at_the_sorted_temporary_name_is_not_used*",
        "test_repeats_filter.py::test_an_output_naming_an_input_is_refused*-link]",
        "test_unifier_run.py::test_output_naming_an_input_by_another_spelling_or_link",
    ],
    "stands in for GNU sort or bedtools with POSIX shell scripts": [
        "test_compression_gnu_sort.py::test_sort_runs_by_full_path_under_lc_all_c_reading_the_records_file*",
        "test_compression_gnu_sort.py::test_a_failing_sort_raises_and_leaves_nothing_behind",
        "test_reliability_faults.py::test_failing_sort_leaves_no_output*",
        "test_reliability_faults.py::test_failing_sort_through_a_front_door_keeps_the_unified_file",
        "test_reliability_faults.py::test_failing_bedtools_*",
        "test_operational_safety.py::test_a_bedtools_that_exits_0_with_truncated_output_fails_the_run",
    ],
    "names a file with bytes or characters that POSIX allows and Windows does not": [
        "test_cli_merivane.py::test_a_path_that_is_not_utf8_ends_in_at_most_one_line",
        "test_reliability_paths.py::test_front_door_with_hostile_names[[]quotes]",
        "test_reliability_paths.py::test_front_door_with_hostile_names[[]glob]",
        "test_reliability_paths.py::test_front_door_with_hostile_names[[]tab]",
    ],
    "expects POSIX paths (a leading /, / joins, ENOTDIR); Windows paths and errors differ": [
        "test_cli_merivane.py::test_bad_input_ends_in_one_line[[]output under a file-*",
        "test_cli_merivane.py::test_bad_input_ends_in_one_line[[]BAM file as input-*",
        "test_cli_merivane.py::test_bad_input_ends_in_one_line[[]truncated gzip input-*",
        "test_cli_merivane.py::test_bad_input_ends_in_one_line[[]bad ROH BED line-*",
        "test_cli_merivane.py::test_bad_input_ends_in_one_line[[]three-sample repeat VCF-*",
        "test_cli_merivane.py::test_subcommand_calls_its_door[[]argv4-*",
        "test_repeats_filter.py::test_filtered_repeat_path[[]run/*",
    ],
    "expects LF line ends where Windows text files and streams have CRLF": [
        "test_cli_merivane.py::test_nothing_to_unify_exits_1_and_leaves_no_file_of_its_own*",
        "test_compression_settings.py::test_level_changes_the_size_and_threads_change_nothing[[]sort_and_compress]",
    ],
}


# argparse from Python 3.13 on lists an option's spellings before one
# placeholder ("-o, --outputPath OUTPUTPATH").
PYTHON_313_SKIPS = {
    "shows help in the layout of argparse before Python 3.13": [
        "test_cli_commands.py::test_console_script_help[[]merivane-dragen-*",
        "test_cli_commands.py::test_console_script_help[[]merivane-pacbio-*",
    ],
}


def pytest_collection_modifyitems(items):
    on_windows = {f"on Windows: {reason}": patterns for reason, patterns in WINDOWS_SKIPS.items()}
    skips = {**(on_windows if sys.platform == "win32" else {}),
             **(PYTHON_313_SKIPS if sys.version_info >= (3, 13) else {})}
    for item in items:
        path, _, name = item.nodeid.partition("::")
        test_id = f"{path.rsplit('/', 1)[-1]}::{name}"
        for reason, patterns in skips.items():
            if any(fnmatch.fnmatchcase(test_id, pattern) for pattern in patterns):
                item.add_marker(pytest.mark.skip(reason=reason))
