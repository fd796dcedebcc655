"""Sphinx configuration of the torvelin documentation.

Build it from the repository's root, after ``python -m pip install ".[docs]"``:

    python -m sphinx -b html docs docs/_build/html

The gallery (examples/) and the user guide's recipes (docs/recipes/) are
executed during the build, against the installed module.
"""

import shutil
import sys
import tomllib
from pathlib import Path

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
sys.path.insert(0, str(DOCS))  # gallery_hooks, named in sphinx_gallery_conf

try:
    import torvelin  # noqa: F401  (the gallery and the recipes run against it)
except ImportError as error:  # pragma: no cover - a message for a half-made set-up
    raise RuntimeError(
        "the documentation runs its examples against the installed module: "
        'install it first with python -m pip install ".[docs]"') from error

project = "torvelin"
author = "The torvelin developers"
copyright = "the torvelin developers"
with open(ROOT / "pyproject.toml", "rb") as f:
    release = version = tomllib.load(f)["project"]["version"]

extensions = [
    "sphinx.ext.napoleon",
    "sphinx.ext.doctest",
    "autoapi.extension",
    "sphinx_gallery.gen_gallery",
    "myst_parser",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "recipes/GALLERY_HEADER.rst"]
templates_path = []

# --- API reference: the type stubs are its one source ----------------------
# The stubs live in torvelin-stubs/__init__.pyi, which sphinx-autoapi would
# name after its folder; a copy under the module's import name lets the API
# page say torvelin.trace_fieldlines. Only the copy is made here: the text is
# the stubs' own.
STUB_SOURCE = DOCS / "_build" / "stub-source"
shutil.rmtree(STUB_SOURCE, ignore_errors=True)
(STUB_SOURCE / "torvelin").mkdir(parents=True)
shutil.copyfile(ROOT / "torvelin-stubs" / "__init__.pyi", STUB_SOURCE / "torvelin" / "__init__.pyi")

autoapi_dirs = [str(STUB_SOURCE)]
autoapi_file_patterns = ["*.pyi"]
autoapi_generate_api_docs = False  # api.rst places the two functions itself
autoapi_add_toctree_entry = False
autodoc_typehints = "none"  # the docstrings' Parameters give readable types
napoleon_google_docstring = False
napoleon_use_rtype = False
napoleon_use_param = False  # keep "xmin, xmax, ymin, ymax : float" as one entry

# --- gallery and recipes, executed at build time ----------------------------
sphinx_gallery_conf = {
    "examples_dirs": ["../examples", "recipes"],
    "gallery_dirs": ["auto_examples", "user_guide/recipes"],
    # every script runs; helper modules, whose names start with "_", are
    # neither run nor shown
    "filename_pattern": r"\.py$",
    "ignore_pattern": r"^_[^/]*\.py$",
    "within_subsection_order": "gallery_hooks.ReadingOrder",
    "reset_argv": "gallery_hooks.reset_argv",
    "abort_on_example_error": True,
    "download_all_examples": False,
    "write_computation_times": False,
    "remove_config_comments": True,
    "min_reported_time": 1,
}

# --- HTML -------------------------------------------------------------------
html_theme = "pydata_sphinx_theme"
html_title = f"torvelin {release}"
html_theme_options = {
    "navbar_align": "left",
    "show_toc_level": 2,
    "secondary_sidebar_items": ["page-toc"],
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version", "theme-version"],
}
html_static_path = []
# pages without sub-pages need no left sidebar
html_sidebars = {page: [] for page in ["index", "getting_started", "installation", "api",
                                       "performance", "development", "changelog", "license"]}
html_show_sourcelink = False


def _api_page_is_outdated(app, env, added, changed, removed):
    """The API page shows the stubs' docstrings, which Sphinx does not track:
    read it again on every build."""
    return ["api"]


def setup(app):
    app.connect("env-get-outdated", _api_page_is_outdated)
