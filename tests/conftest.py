import logging

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
