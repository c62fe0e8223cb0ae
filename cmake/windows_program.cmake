# stationclock.exe (x86-64) or stationclock32.exe (i686) from the same sources.
enable_language(RC)
include(cmake/reproducible.cmake)

# The oldest Windows each program runs on, 5.x: Windows XP SP3 (5.1) for
# i686, Windows XP x64 and Server 2003 SP2 (5.2) for x86-64. The headers then
# declare no newer call, and the PE header names that version.
if(STATIONCLOCK_ARCH STREQUAL "X86")
    set(PROGRAM_NAME stationclock32)
    set(WINDOWS_MINOR 1)
else()
    set(PROGRAM_NAME stationclock)
    set(WINDOWS_MINOR 2)
endif()

# The version, major.minor.patch from the file VERSION, goes into each
# program's version resource; an edit of VERSION configures again and
# rebuilds both programs.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/VERSION)
file(STRINGS ${CMAKE_SOURCE_DIR}/VERSION STATIONCLOCK_VERSION LIMIT_COUNT 1)
if(NOT STATIONCLOCK_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "VERSION reads '${STATIONCLOCK_VERSION}', not major.minor.patch")
endif()
set(VERSION_NUMBERS "${CMAKE_MATCH_1},${CMAKE_MATCH_2},${CMAKE_MATCH_3},0")

set(RESOURCE_DIR ${CMAKE_CURRENT_BINARY_DIR}/resources)
configure_file(resources/stationclock.manifest.in ${RESOURCE_DIR}/stationclock.manifest @ONLY)
configure_file(resources/stationclock.rc.in ${RESOURCE_DIR}/stationclock.rc @ONLY)
# The resource compiler embeds these files; an edit of either rebuilds the program.
set_source_files_properties(${RESOURCE_DIR}/stationclock.rc PROPERTIES OBJECT_DEPENDS
    "${RESOURCE_DIR}/stationclock.manifest;${CMAKE_SOURCE_DIR}/resources/stationclock.ico")

add_executable(${PROGRAM_NAME} WIN32
    ${PORTABLE_SOURCES}
    app/main_win32.cpp
    app/window_win32.cpp
    app/events_win32.cpp
    app/runtime_win32.cpp
    link/serial_win32.cpp
    station/pause_win32.cpp
    support/local_clock_win32.cpp
    ${RESOURCE_DIR}/stationclock.rc)

target_include_directories(${PROGRAM_NAME} PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(${PROGRAM_NAME} PRIVATE _WIN32_WINNT=0x050${WINDOWS_MINOR}
    WINVER=0x050${WINDOWS_MINOR} NOMINMAX)
target_compile_options(${PROGRAM_NAME} PRIVATE ${WARNINGS} -Os -fno-exceptions -fno-rtti
    -fno-asynchronous-unwind-tables -ffunction-sections -fdata-sections)
target_link_options(${PROGRAM_NAME} PRIVATE -static -s -Wl,--gc-sections
    -Wl,--major-subsystem-version,5,--minor-subsystem-version,${WINDOWS_MINOR})
target_link_libraries(${PROGRAM_NAME} PRIVATE comctl32 ole32 winmm gdi32 user32 kernel32)
set_target_properties(${PROGRAM_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# The test driver and the benchmark's reference program are Windows programs too.
add_subdirectory(tests/bench)
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/wine/driver/CMakeLists.txt)
    add_subdirectory(tests/wine/driver)
endif()
