# The cross build for Windows: Ardellix.dll, and the checks that run on it. Qt is not cross
# built (see docs/WINDOWS.md), nor are the GoogleTest suites, the benchmarks or the packaging.
add_subdirectory(library)
if(KLOV_BUILD_TESTS)
    add_subdirectory(tests/windows)
endif()
