"""What a batch's fork server loads before it forks the workers: the batch module, and the
engine with its libraries (see `pool`).

The garbage collector pauses meanwhile, and what was loaded is frozen before it resumes.
Loading makes next to no garbage, yet the collector's passes over the libraries' new objects,
then its first pass after the pause over all of them at once, cost 85 ms of the 0.95 s load,
and every batch waits for the load before its first image. Frozen, those objects are never
passed over again, in the server or in the workers forked from it, whose copies of their pages
stay shared."""

import gc

_collecting = gc.isenabled()
gc.disable()
try:
    from . import batch, tintmill  # noqa: F401
finally:
    gc.freeze()
    if _collecting:
        gc.enable()
