"""Synthetic time series generation with a parallel native engine."""

from . import _lib

__all__ = ["_lib"]
__version__ = "0.1.0"
