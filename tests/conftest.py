import logging

import pytest


@pytest.fixture
def root_records(caplog):
    """Log records of the root logger, at INFO and above."""
    caplog.set_level(logging.INFO)
    return caplog
