# dist/win32 holds the declarations for .NET and Pascal hosts and the
# Python package.   cmake -DDIST=... -P check_dist.cmake
foreach(f Talvo.cs talvo.pas python/pyproject.toml python/README.md python/backend/talvo_build_backend.py
        python/src/talvo/__init__.py python/src/talvo/_native.py python/src/talvo/line.py python/src/talvo/sim.py
        python/src/talvo/py.typed)
    if(NOT EXISTS "${DIST}/${f}")
        message(FATAL_ERROR "missing from dist/win32: ${f}")
    endif()
endforeach()
file(READ "${DIST}/Talvo.cs" cs)
if(NOT cs MATCHES "\"TALVO.dll\"" OR NOT cs MATCHES "CallingConvention.StdCall")
    message(FATAL_ERROR "Talvo.cs does not import TALVO.dll with stdcall")
endif()
file(READ "${DIST}/talvo.pas" pas)
if(NOT pas MATCHES "'TALVO.dll'")
    message(FATAL_ERROR "talvo.pas does not import TALVO.dll")
endif()
message(STATUS "bindings_dist: 1 passed, 0 failed")
