# One interface target carries the language level, the warnings and the sanitizer
# flags, so every subsystem target is built the same way.
add_library(vexal_options INTERFACE)
target_compile_features(vexal_options INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)
target_compile_options(vexal_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
    -Wold-style-cast -Woverloaded-virtual -Wnon-virtual-dtor -Wcast-qual)
# CI builds with warnings as errors; a local build only shows them. Qt, GoogleTest and
# the other packages come in through imported targets, as system headers, so their own
# warnings never stop the build.
if(VEXAL_WERROR)
    target_compile_options(vexal_options INTERFACE -Werror)
endif()
target_compile_definitions(vexal_options INTERFACE
    QT_NO_CAST_FROM_ASCII QT_NO_NARROWING_CONVERSIONS_IN_CONNECT QT_NO_URL_CAST_FROM_STRING)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC 12 reports impossible overlaps inside std::string at -O2 (a known false positive).
    target_compile_options(vexal_options INTERFACE -Wno-restrict)
endif()

if(VEXAL_SANITIZE)
    # Every undefined-behaviour finding aborts, so a sanitizer run can only pass clean.
    set(VEXAL_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_compile_options(vexal_options INTERFACE ${VEXAL_SANITIZER_FLAGS})
    target_link_options(vexal_options INTERFACE ${VEXAL_SANITIZER_FLAGS})
endif()

if(VEXAL_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "VEXAL_FUZZ needs clang (libFuzzer)")
    endif()
    # Coverage feedback from the code under test, not only from the fuzz targets.
    target_compile_options(vexal_options INTERFACE -fsanitize=fuzzer-no-link)
    target_link_options(vexal_options INTERFACE -fsanitize=fuzzer-no-link)
endif()
