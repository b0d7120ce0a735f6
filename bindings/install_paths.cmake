# Install step: the Python package's _paths.py with the library folder of
# this installation, so that the package finds libtalvo.so and talvo-sim
# wherever pip puts it.  Set by the install(CODE) before it:
# TALVO_PATHS_SOURCE, TALVO_PATHS_DIR (relative to the prefix), TALVO_LIBDIR.
set(dest "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${TALVO_PATHS_DIR}")
file(READ "${TALVO_PATHS_SOURCE}" paths)
string(REPLACE "INSTALLED_LIBRARY_DIRS: List[str] = []"
    "INSTALLED_LIBRARY_DIRS: List[str] = [\"${CMAKE_INSTALL_PREFIX}/${TALVO_LIBDIR}\"]" paths "${paths}")
message(STATUS "Installing: ${dest}/_paths.py")
file(MAKE_DIRECTORY "${dest}")
file(WRITE "${dest}/_paths.py" "${paths}")
