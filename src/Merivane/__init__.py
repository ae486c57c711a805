"""Merge a sequencing pipeline's SV, CNV, repeat and ROH outputs into one
sorted, BGZF-compressed structural VCF."""
# The version pyproject.toml declares, written into _version.py at build time.
from ._version import __version__
from .unifier import run

__all__ = ["run", "__version__"]
