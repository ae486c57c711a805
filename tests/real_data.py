"""Real caller outputs for trying the package on: shared/data/real beside the repository.

They are never copied into the repository; tests that read them skip when the folder is absent.
"""
from pathlib import Path

import pytest

REAL_DATA = Path(__file__).resolve().parent.parent.parent / "shared" / "data" / "real"

needs_real_data = pytest.mark.skipif(not REAL_DATA.is_dir(), reason="real sample files are not available")

# One SV caller output per sequencing platform, relative to REAL_DATA.
REAL_SV_SAMPLES = ["illumina/manta-1.6.0.COLO829BL-germline.diploidSV.subset.vcf",
                   "ont/sniffles2-2.0.6.HG002-HiFi.chr1-subset.sv.vcf",
                   "pacbio/pbsv-2.8.0.HG002.chr1-subset.sv.vcf"]
