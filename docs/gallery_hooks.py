"""Settings of the gallery that must be importable by name (Sphinx caches the
configuration, and a function defined in conf.py cannot be cached)."""

import tempfile
from pathlib import Path

# The order in which a reader meets the scripts; others follow by name.
ORDER = [
    # examples/
    "quickstart.py", "line_currents.py", "magnetic_islands.py",
    "streamplot_comparison.py", "xarray_dataset.py", "dask_scaleout.py",
    # docs/recipes/
    "choose_step.py", "closed_loops.py", "xarray_input.py", "seed_arrays.py",
    "memory.py", "dask_reduce.py",
]

PICTURES = Path(tempfile.gettempdir()) / "torvelin-gallery"


class ReadingOrder:
    """Sort key for the scripts of one gallery folder."""

    def __init__(self, src_dir):
        self.src_dir = src_dir

    def __call__(self, filename):
        rank = ORDER.index(filename) if filename in ORDER else len(ORDER)
        return (rank, filename)

    def __repr__(self):  # a stable text, so that Sphinx sees an unchanged configuration
        return f"ReadingOrder({self.src_dir!r})"


def reset_argv(gallery_conf, script_vars):
    """The examples write their PNG where --output says: out of the source tree.
    The gallery shows the figure they leave open."""
    name = Path(script_vars["src_file"]).name
    if Path(script_vars["src_file"]).parent.name != "examples":
        return []
    PICTURES.mkdir(exist_ok=True)
    return ["--output", str(PICTURES / name.replace(".py", ".png"))]
