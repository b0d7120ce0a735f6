"""Where the library and the software terminal are looked for.

An installation of the C library writes its own copy of this file into the
package it installs, naming its library folder in INSTALLED_LIBRARY_DIRS.
A wheel built from a checkout (``pip install ./python``) names that
checkout in CHECKOUT, so the installed package still finds the checkout's
build folders.  This copy, in the source tree, names neither and falls back
on the build folders of the checkout the package sits in.
"""

from __future__ import annotations

from pathlib import Path
from typing import List, Optional

#: Library folders of the installation this package came with.
INSTALLED_LIBRARY_DIRS: List[str] = []

#: The checkout the package was built from, when it was.
CHECKOUT: Optional[str] = None

_BUILDS = ("linux", "win32")


def _checkout_of(here: Path) -> Optional[Path]:
    # python/src/talvo in a checkout: the checkout is three folders up.
    top = here.parent.parent.parent
    return top if (top / "include" / "talvo.h").is_file() else None


def library_dirs() -> List[str]:
    """Folders that may hold the library, most likely first."""
    dirs = list(INSTALLED_LIBRARY_DIRS)
    tops = [_checkout_of(Path(__file__).resolve().parent)]
    if CHECKOUT is not None:
        tops.append(Path(CHECKOUT))
    seen = set()
    for top in tops:
        if top is None or top in seen:
            continue
        seen.add(top)
        dirs += [str(top / "build" / name) for name in _BUILDS]
    return dirs
