"""Progress bars (tqdm) for the long calls, as the native progress callables want them."""

from __future__ import annotations

import contextlib


@contextlib.contextmanager
def progress_bar(enabled, description: str, unit: str):
    """Yields None (no progress wanted) or a callable (done, total, elapsed_ms) for the native
    simulations. `enabled` may also be a callable of the same three arguments, used as is."""
    if callable(enabled):
        yield enabled
        return
    if not enabled:
        yield None
        return
    from tqdm.auto import tqdm

    bar = tqdm(desc=description, unit=unit, leave=False, dynamic_ncols=True)
    done_before = [0]

    def update(done, total, elapsed_ms):
        if bar.total != total:
            bar.total = int(total)
        bar.update(int(done) - done_before[0])
        done_before[0] = int(done)

    try:
        yield update
    finally:
        bar.close()
