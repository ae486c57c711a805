"""Merge a sequencing pipeline's SV, CNV, repeat and ROH outputs into one
sorted, BGZF-compressed structural VCF."""
from ._version import __version__
from .unifier import run

__all__ = ["run"]
