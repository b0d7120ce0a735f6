# talvod.exe: the service built by MinGW-w64 x86_64, included from
# tools/service/CMakeLists.txt in the win64 build.  It links TALVO.dll's
# import library and the public header only, like talvo.exe.
#
# What Debian has no MinGW package of is built here from source: SQLite's
# amalgamation and cpp-httplib's single header, made from Debian's source
# packages by scripts/win-sources.sh once and kept in the build folder.
# toml++ and nlohmann-json are header-only packages: their headers are
# copied, as the command-line tool does with CLI11's.  SHA-256 is the
# system's (BCrypt); PostgreSQL is not built in.
set(TALVO_WIN_SOURCES ${CMAKE_BINARY_DIR}/win-sources)
if(NOT EXISTS ${TALVO_WIN_SOURCES}/sqlite3.c OR NOT EXISTS ${TALVO_WIN_SOURCES}/httplib.h)
    message(STATUS "talvod.exe: SQLite and cpp-httplib from Debian's source packages")
    execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/win-sources.sh ${TALVO_WIN_SOURCES}
        COMMAND_ERROR_IS_FATAL ANY)
endif()
set(TALVO_THIRD_PARTY ${CMAKE_BINARY_DIR}/third-party)
file(COPY /usr/include/toml++ /usr/include/nlohmann DESTINATION ${TALVO_THIRD_PARTY})
file(COPY ${TALVO_WIN_SOURCES}/httplib.h ${TALVO_WIN_SOURCES}/sqlite3.h DESTINATION ${TALVO_THIRD_PARTY})

add_library(talvo_sqlite STATIC ${TALVO_WIN_SOURCES}/sqlite3.c)
target_include_directories(talvo_sqlite SYSTEM PUBLIC ${TALVO_THIRD_PARTY})
# Threads as the service uses them (a connection per thread), no extension
# loading; the amalgamation's own warnings are not this project's.
target_compile_definitions(talvo_sqlite PRIVATE SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION
    SQLITE_DQS=0 SQLITE_DEFAULT_FOREIGN_KEYS=0)
target_compile_options(talvo_sqlite PRIVATE -w)

# The definitions every service source is built with on Windows: Winsock 2
# and the Vista API (WSAPoll), gmtime_r and localtime_r, timegm by its
# Windows name, the C99 printf, cpp-httplib's poll() path.
set(TALVO_SERVICE_WIN_DEFS _POSIX_THREAD_SAFE_FUNCTIONS=200112L timegm=_mkgmtime __USE_MINGW_ANSI_STDIO=1 WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0600
    CPPHTTPLIB_USE_POLL)

add_library(talvo_service_db STATIC ${TALVO_SERVICE_DB_SOURCES})
target_include_directories(talvo_service_db PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tools/common)
target_include_directories(talvo_service_db SYSTEM PUBLIC ${TALVO_THIRD_PARTY})
target_compile_definitions(talvo_service_db PUBLIC ${TALVO_SERVICE_WIN_DEFS})
target_link_libraries(talvo_service_db PUBLIC talvo_sqlite ws2_32)
target_compile_options(talvo_service_db PRIVATE ${TALVO_WARNINGS})


add_executable(talvod ${TALVOD_SOURCES} win32/service.cpp)
target_include_directories(talvod PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tools/common)
# TALVO.dll through a delay-load import library: it loads at the first call,
# after main() has set TALVO_DEFER_PORT=1 (a service drives lines only; the
# library's load step would otherwise want the 43 exports' port and refuse
# to load without it).  The C and C++ runtimes linked in, so that the
# program needs TALVO.dll and system DLLs only.
set(TALVO_DELAY_LIB ${CMAKE_BINARY_DIR}/lib/libTALVO-delay.a)
add_custom_command(OUTPUT ${TALVO_DELAY_LIB}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/lib
    COMMAND ${TALVO_DLLTOOL} -d ${CMAKE_BINARY_DIR}/TALVO-implib.def -D TALVO.dll -y ${TALVO_DELAY_LIB}
    DEPENDS ${CMAKE_BINARY_DIR}/TALVO-implib.def
    COMMENT "TALVO.dll's delay-load import library" VERBATIM)
add_custom_target(talvo_delay_lib DEPENDS ${TALVO_DELAY_LIB})
add_dependencies(talvod talvo_delay_lib talvo)
target_include_directories(talvod PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(talvod PRIVATE talvo_service_db ${TALVO_DELAY_LIB} ws2_32 bcrypt advapi32)
target_link_options(talvod PRIVATE -static)
target_compile_options(talvod PRIVATE ${TALVO_WARNINGS})
target_compile_definitions(talvod PRIVATE TALVO_TOOL_VERSION="${PROJECT_VERSION}")
