"""The package as a type checker sees it: stubs that match the extension
modules, and argument types checked against them."""
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy")

ALLOWLIST = Path(__file__).resolve().parent / "stubtest_allowlist.txt"


def run_mypy(*arguments, cwd):
    return subprocess.run([sys.executable, "-m", *arguments], capture_output=True, text=True, cwd=cwd)


def test_stubs_match_the_extension_modules(tmp_path):
    result = run_mypy("mypy.stubtest", "Merivane", "--allowlist", str(ALLOWLIST), "--mypy-config-file", "/dev/null",
                      cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_a_wrong_argument_type_is_reported(tmp_path):
    (tmp_path / "caller.py").write_text(textwrap.dedent("""\
        from Merivane.cli import dragen_unify, pacbio_filter_and_unify
        from Merivane.compression import write_bgzf

        result: str | None = dragen_unify("out.vcf", sv_path="sv.vcf", threads=2, index="tbi")
        pacbio_filter_and_unify("out.vcf", drop_sv_filters=["InvBreakpoint"], filtered_repeat_path="f.vcf")
        write_bgzf("in.vcf", "out.vcf.gz", threads="2")
        dragen_unify("out.vcf", merge_headers=True, compression=6)
        """))
    result = run_mypy("mypy", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"), "caller.py",
                      cwd=tmp_path)
    errors = sorted(line.split(":")[1] for line in result.stdout.splitlines() if ": error:" in line)
    # Lines 6 (a text where a number belongs) and 7 (an unknown keyword); the
    # rest is well typed, so the package is typed, not "missing library stubs".
    assert errors == ["6", "7"], result.stdout
    assert 'Argument "threads" to "write_bgzf" has incompatible type "str"' in result.stdout
