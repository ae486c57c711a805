import importlib.metadata

import Merivane


def test_version_is_the_one_in_the_project_metadata():
    assert Merivane.__version__ == importlib.metadata.version("Merivane")


def test_the_licence_and_the_catalog_notice_travel_with_the_installed_package():
    distribution = importlib.metadata.distribution("Merivane")
    assert distribution.metadata["License-Expression"] == "MIT"
    # A binary wheel adds the notices of the libraries linked into it.
    shipped = {name.rsplit("/", 1)[-1]: name for name in distribution.metadata.get_all("License-File") or []}
    for own in ("LICENSE", "STRchive-LICENSE"):
        text = distribution.read_text(f"licenses/{shipped[own]}")
        assert text is not None and text.startswith("MIT License"), own
