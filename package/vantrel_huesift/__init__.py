"""Dominant colours of photos and how strongly named target colours are present."""

from typing import TYPE_CHECKING, Any

from .batch import batch_extract_colors
from .names import ColourNameError, colour_name, name_colours
from .strips import swatches

if TYPE_CHECKING:
    from .tintmill import ColorExtractor

__version__ = "0.1.0"
__all__ = ["ColorExtractor", "ColourNameError", "batch_extract_colors", "colour_name",
           "name_colours", "swatches", "__version__"]


def __getattr__(name: str) -> Any:
    # The extension loads matplotlib's pyplot among its libraries: it is loaded when first used,
    # so that the batch and the command line's other parts import without it.
    if name == "ColorExtractor":
        from .tintmill import ColorExtractor

        return ColorExtractor
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
