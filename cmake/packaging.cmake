# Debian packages, made by CPack from the install components, and the Python
# package's wheel beside them:
#   libtalvo1     the shared library                      (component lib)
#   libtalvo-dev  header, pkg-config file, CMake package  (component dev)
#   talvo-tools   talvo, talvo-sim, man pages, completion (component tools)
#   talvod        the service, its unit, its system user and configuration
#                 (component service)
# The `deb` presets build them: cmake --preset deb && cmake --build --preset deb
# && cpack --preset deb; the wheel with the target python-wheel.  The files
# land in build/deb/packages.
#
# TALVO_PACKAGING (the deb preset) adds what only a package installs: the
# configuration /etc/talvod/talvod.toml, the maintainer scripts that make the
# system user, Debian's copyright and changelog files, and compressed man
# pages.
option(TALVO_PACKAGING "Install as a Debian package does (/etc/talvod, doc files); the deb preset" OFF)

set(TALVO_DEB_MAINTAINER "talvo developers <talvo@example.org>" CACHE STRING "Maintainer of the Debian packages")
set(TALVO_PACKAGES_DIR ${CMAKE_BINARY_DIR}/packages)
set(TALVO_PACKAGING_SOURCE ${CMAKE_SOURCE_DIR}/packaging)

# ---- What only the packages install -----------------------------------------
set(TALVO_DEB_COMPONENTS lib dev tools)
if(TARGET talvod)
    list(APPEND TALVO_DEB_COMPONENTS service)
endif()
set(TALVO_DEB_NAME_lib libtalvo1)
set(TALVO_DEB_NAME_dev libtalvo-dev)
set(TALVO_DEB_NAME_tools talvo-tools)
set(TALVO_DEB_NAME_service talvod)

if(TALVO_PACKAGING)
    if(DEFINED ENV{SOURCE_DATE_EPOCH})
        set(epoch $ENV{SOURCE_DATE_EPOCH})
    else()
        execute_process(COMMAND git -C ${CMAKE_SOURCE_DIR} log -1 --format=%ct
            OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        if(NOT epoch)
            set(epoch 0)
        endif()
    endif()
    execute_process(COMMAND date -u -R -d @${epoch} OUTPUT_VARIABLE TALVO_DEB_DATE OUTPUT_STRIP_TRAILING_WHITESPACE)
    find_program(TALVO_GZIP gzip REQUIRED)
    foreach(component ${TALVO_DEB_COMPONENTS})
        set(package ${TALVO_DEB_NAME_${component}})
        set(doc ${CMAKE_BINARY_DIR}/packaging/${package})
        file(MAKE_DIRECTORY ${doc})
        set(TALVO_DEB_PACKAGE ${package})
        configure_file(${TALVO_PACKAGING_SOURCE}/changelog.in ${doc}/changelog @ONLY)
        # gzip -n: no name or time in the file, the same bytes on every build.
        execute_process(COMMAND ${TALVO_GZIP} -9nf ${doc}/changelog)
        install(FILES ${TALVO_PACKAGING_SOURCE}/copyright ${doc}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
    endforeach()

    # Man pages, compressed: talvo's own, talvod's written by hand, and
    # talvo-sim's made by help2man from its --help.
    find_program(TALVO_HELP2MAN help2man REQUIRED)
    set(man ${CMAKE_BINARY_DIR}/packaging/man)
    set(help2man ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${epoch} ${TALVO_HELP2MAN} --no-info
        --version-string=${PROJECT_VERSION})
    set(pages ${man}/talvo.1.gz ${man}/talvo-sim.1.gz)
    add_custom_command(OUTPUT ${man}/talvo.1.gz ${man}/talvo-sim.1.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${man}
        COMMAND ${help2man} --section=1 "--name=software card terminals on a pseudo-terminal"
                --output=${man}/talvo-sim.1 $<TARGET_FILE:talvo-sim>
        COMMAND sh -c "${TALVO_GZIP} -9nc ${CMAKE_BINARY_DIR}/talvo.1 >${man}/talvo.1.gz"
        COMMAND ${TALVO_GZIP} -9nf ${man}/talvo-sim.1
        DEPENDS talvo-sim talvo-docs ${CMAKE_BINARY_DIR}/talvo.1
        VERBATIM)
    install(FILES ${man}/talvo.1.gz ${man}/talvo-sim.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
    if(TARGET talvod)
        add_custom_command(OUTPUT ${man}/talvod.8.gz
            COMMAND ${CMAKE_COMMAND} -E make_directory ${man}
            COMMAND sh -c "${TALVO_GZIP} -9nc ${CMAKE_BINARY_DIR}/talvod.8 >${man}/talvod.8.gz"
            DEPENDS ${CMAKE_BINARY_DIR}/talvod.8
            VERBATIM)
        list(APPEND pages ${man}/talvod.8.gz)
        install(FILES ${man}/talvod.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT service)
    endif()
    add_custom_target(talvo-man-pages ALL DEPENDS ${pages})
endif()

# ---- CPack ------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME talvo)
set(CPACK_PACKAGE_VENDOR "talvo")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TALVO_DEB_MAINTAINER}")
set(CPACK_PACKAGE_DIRECTORY ${TALVO_PACKAGES_DIR})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# Absolute destinations (/etc/talvod, /lib/systemd/system) go into the
# package, not onto the machine that builds it.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${TALVO_DEB_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TALVO_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SOURCE talvo)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")
# Dependencies on the system's libraries found by dpkg-shlibdeps; the
# packages' own library named explicitly, at this very version.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
set(TALVO_DEB_SELF "libtalvo1 (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libtalvo1)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# The dynamic linker's cache by dpkg's ldconfig trigger, not by scripts.
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${TALVO_PACKAGING_SOURCE}/libtalvo1/triggers
    ${TALVO_PACKAGING_SOURCE}/libtalvo1/postinst ${TALVO_PACKAGING_SOURCE}/libtalvo1/postrm)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_LIB_DESCRIPTION "library driving card terminals on a serial line
libtalvo drives card-payment and attendance terminals on a half-duplex
serial line: status, clock, price menus, blacklists, attendance zones and
the collection of transaction records, exactly once, into a record store.

This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtalvo-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${TALVO_DEB_SELF}")
set(CPACK_COMPONENT_DEV_DESCRIPTION "library driving card terminals on a serial line (development files)
libtalvo drives card-payment and attendance terminals on a half-duplex
serial line.

This package holds the C header talvo.h, the pkg-config file and the CMake
package talvo::talvo.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME talvo-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# talvo loads the library at run time.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${TALVO_DEB_SELF}")
# `talvo db` runs talvod's `db`; without it, it says it needs this package.
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS talvod)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "command-line tool and software terminal for card terminals
talvo drives card-payment and attendance terminals on a serial line from
the command line: status, clock, menus, blacklists, collection of records
into a store file, and the records of a store or (with talvod installed)
of talvod's database.
talvo-sim plays terminals on a pseudo-terminal, for tests without
hardware.")

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME talvod)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "${TALVO_DEB_SELF}, adduser")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
    ${TALVO_PACKAGING_SOURCE}/talvod/conffiles ${TALVO_PACKAGING_SOURCE}/talvod/postinst
    ${TALVO_PACKAGING_SOURCE}/talvod/prerm ${TALVO_PACKAGING_SOURCE}/talvod/postrm)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_SERVICE_DESCRIPTION "collection service for card terminals
talvod collects the records of every terminal on every configured serial
line into SQLite or PostgreSQL, exactly once, on a schedule, and serves a
page and an HTTP API about terminals, records and takings.

The service runs as the system user talvod; its configuration is
/etc/talvod/talvod.toml.")

include(CPack)

# ---- The Python package's wheel, beside the Debian packages -----------------
# Built by the package's own backend with pip, from Debian's python3-pip:
# no package index is asked.
find_program(TALVO_WHEEL_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(TALVO_WHEEL_PYTHON)
    add_custom_target(python-wheel
        COMMAND ${CMAKE_COMMAND} -E make_directory ${TALVO_PACKAGES_DIR}
        COMMAND ${CMAKE_COMMAND} -E env PYTHONDONTWRITEBYTECODE=1 PIP_NO_INDEX=1 TALVO_WHEEL_NO_CHECKOUT=1
                ${TALVO_WHEEL_PYTHON} -m pip wheel --quiet --no-deps --no-cache-dir --disable-pip-version-check
                --no-build-isolation --wheel-dir ${TALVO_PACKAGES_DIR} ${CMAKE_SOURCE_DIR}/python
        COMMENT "the Python package's wheel in ${TALVO_PACKAGES_DIR}"
        VERBATIM)
endif()
