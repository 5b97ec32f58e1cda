"""Dominant colours of photos and how strongly named target colours are present."""

from .batch import batch_extract_colors
from .tintmill import ColorExtractor

__version__ = "0.1.0"
__all__ = ["ColorExtractor", "batch_extract_colors", "__version__"]
