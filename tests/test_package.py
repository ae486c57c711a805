import importlib.metadata

import Merivane


def test_version_is_the_one_in_the_project_metadata():
    assert Merivane.__version__ == importlib.metadata.version("Merivane")
