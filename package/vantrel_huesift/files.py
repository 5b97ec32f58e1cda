"""The user's files: one key per file however it is named."""

from __future__ import annotations

from pathlib import Path


def same_file_key(path: str) -> str:
    """One key per file, however it was named: relative, absolute or through a link."""
    return str(Path(path).resolve())
