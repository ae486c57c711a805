"""Merge a sequencing pipeline's SV, CNV, repeat and ROH outputs into one
sorted, BGZF-compressed structural VCF."""
from importlib.metadata import version as _installed_version

from .unifier import run

# The version pyproject.toml declares, as the installed distribution records it.
__version__ = _installed_version("Merivane")

__all__ = ["run", "__version__"]
