# Native (Linux) build: the platform-free code in both integer widths, its
# unit tests with test doubles of the platform procedures, and the tools.
find_package(GTest REQUIRED)
include(GoogleTest)

option(STATIONCLOCK_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(STATIONCLOCK_FUZZ "Build the libFuzzer targets (clang)" OFF)

if(STATIONCLOCK_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

foreach(BITS 64 32)
    add_library(portable${BITS} STATIC ${PORTABLE_SOURCES})
    target_include_directories(portable${BITS} PUBLIC ${CMAKE_SOURCE_DIR})
    target_compile_definitions(portable${BITS} PUBLIC STATIONCLOCK_INTEGER_BITS=${BITS})
    target_compile_options(portable${BITS} PRIVATE ${WARNINGS})
    if(STATIONCLOCK_FUZZ)
        # Coverage for the fuzz targets; the sanitizer runtime satisfies it in the unit tests.
        target_compile_options(portable${BITS} PRIVATE -fsanitize=fuzzer-no-link)
    endif()
endforeach()

add_subdirectory(tests/unit)
if(EXISTS ${CMAKE_SOURCE_DIR}/tools/stationsim/CMakeLists.txt)
    add_subdirectory(tools/stationsim)
endif()
if(STATIONCLOCK_FUZZ AND EXISTS ${CMAKE_SOURCE_DIR}/tests/fuzz/CMakeLists.txt)
    add_subdirectory(tests/fuzz)
endif()
