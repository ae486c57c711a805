#!/usr/bin/env python3
"""Runs Merivane on the example inputs in this folder."""
import Merivane.unifier  # noqa: F401

print("Merivane is installed; the example pipelines are not wired up yet.")
