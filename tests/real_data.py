"""Real caller outputs for trying the package on: shared/data/real beside the repository.

They are never copied into the repository; tests that read them skip when the folder is absent.
"""
from pathlib import Path

import pytest

REAL_DATA = Path(__file__).resolve().parent.parent.parent / "shared" / "data" / "real"

needs_real_data = pytest.mark.skipif(not REAL_DATA.is_dir(), reason="real sample files are not available")
