# The build for Windows: Ardellix.dll, the simulated probe as libusb0.dll, the updater's core
# and its firmware module, klov.exe, Mirovane where Qt 6 is found, and the checks that run on
# them. The GoogleTest suites, the benchmarks and the packaging are not built for Windows.

# Programs of the 64-bit cross build run here under wine64, in a prefix in the build tree.
if(CMAKE_CROSSCOMPILING AND CMAKE_SIZEOF_VOID_P EQUAL 8)
    find_program(KLOV_WINE64 wine64 PATHS /usr/lib/wine)
    if(KLOV_WINE64)
        set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/tests/windows/wine_run.sh
                                          ${KLOV_WINE64} ${CMAKE_BINARY_DIR}/wine)
    else()
        message(STATUS "wine64 not found: the Windows programs are built but not run")
    endif()
endif()

# mkinline runs during the build, so a cross build makes it for the building machine.
if(CMAKE_CROSSCOMPILING)
    include(ExternalProject)
    set(host_tools ${CMAKE_BINARY_DIR}/host-tools)
    ExternalProject_Add(host_tools
        SOURCE_DIR ${PROJECT_SOURCE_DIR}/cmake/host-tools
        BINARY_DIR ${host_tools}
        CMAKE_ARGS -DKLOV_SOURCE_DIR=${PROJECT_SOURCE_DIR} -DCMAKE_BUILD_TYPE=Release
        BUILD_COMMAND ${CMAKE_COMMAND} --build ${host_tools} --target mkinline
        BUILD_BYPRODUCTS ${host_tools}/tools/mkinline
        INSTALL_COMMAND ""
        BUILD_ALWAYS ON)
    add_executable(mkinline IMPORTED)
    set_target_properties(mkinline PROPERTIES IMPORTED_LOCATION ${host_tools}/tools/mkinline)
    add_dependencies(mkinline host_tools)
else()
    add_subdirectory(updater/tools)
endif()

add_subdirectory(library)
add_subdirectory(updater/core)
add_subdirectory(updater/firmware)
add_subdirectory(updater/cli)
# Mirovane's window, where Qt 6 for this target is at hand (Qt's own mingw kit on Windows);
# Debian packages no Qt for mingw, so the cross builds here go without it.
if(KLOV_BUILD_QT)
    find_package(Qt6 QUIET COMPONENTS Widgets)
    if(Qt6_FOUND)
        add_subdirectory(updater/qt)
    else()
        message(STATUS "Qt 6 Widgets not found for this target: Mirovane is not built")
    endif()
endif()
# The simulated probe as libusb0.dll, for the tests.
if(KLOV_BUILD_TESTS)
    add_subdirectory(sim)
    add_subdirectory(tests/windows)
endif()
