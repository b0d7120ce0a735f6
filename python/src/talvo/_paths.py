"""Where the library and the software terminal are looked for.

An installation of the C library writes its own copy of this file into the
package it installs, naming its library folder in INSTALLED_LIBRARY_DIRS;
this copy, in the source tree, names none and falls back on the build
folders of the checkout the package sits in.
"""

from __future__ import annotations

from pathlib import Path
from typing import List

#: Library folders of the installation this package came with.
INSTALLED_LIBRARY_DIRS: List[str] = []


def library_dirs() -> List[str]:
    """Folders that may hold the library, most likely first."""
    dirs = list(INSTALLED_LIBRARY_DIRS)
    here = Path(__file__).resolve().parent
    # python/src/talvo in a checkout: the build folders at its top.
    top = here.parent.parent.parent
    if (top / "include" / "talvo.h").is_file():
        for name in ("linux", "win32"):
            dirs.append(str(top / "build" / name))
    return dirs
