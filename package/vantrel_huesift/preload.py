"""What a batch's fork server loads before it forks the workers: the batch module, and the
engine with its libraries (see `pool`).

The garbage collector pauses meanwhile. Loading makes next to no garbage, yet the collector's
passes over the libraries' new objects took 7 % of the load (70 ms of 1.07 s), and every
batch waits for the load before its first image."""

import gc

_collecting = gc.isenabled()
gc.disable()
try:
    from . import batch, tintmill  # noqa: F401
finally:
    if _collecting:
        gc.enable()
