"""Dominant colours of photos and how strongly named target colours are present."""

from .tintmill import ColorExtractor

__version__ = "0.1.0"
__all__ = ["ColorExtractor", "__version__"]
