# Installs the build tree into a fresh staging prefix, checks what landed there, then builds a
# consumer program against the staged library twice (pkg-config and find_package) and runs
# both, and klov from the staged tree, against the simulated probe.
# Variables: BUILD_DIR, SIM_DIR, WORK_DIR, CONSUMER_DIR, GENERATOR, C_FLAGS, WITH_MIROVANE,
# SANITIZED, NO_INSTALL_RPATH.
cmake_minimum_required(VERSION 3.25)

include(${CMAKE_CURRENT_LIST_DIR}/run_step.cmake)

set(stage ${WORK_DIR}/stage)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${stage})

# The library's folder as the build chose it (lib, or lib/<multiarch> under /usr).
file(GLOB_RECURSE sonames LIST_DIRECTORIES false ${stage}/*/libArdellix.so.1)
list(LENGTH sonames found)
if(NOT found EQUAL 1)
    message(FATAL_ERROR "expected one libArdellix.so.1 in ${stage}, found: ${sonames}")
endif()
get_filename_component(libdir ${sonames} DIRECTORY)

set(expected
    bin/klov
    include/ardellix.h
    lib/udev/rules.d/70-klov-probe.rules)
if(WITH_MIROVANE)
    list(APPEND expected bin/mirovane share/applications/mirovane.desktop)
endif()
foreach(f IN LISTS expected)
    if(NOT EXISTS ${stage}/${f})
        message(FATAL_ERROR "not installed: ${f}")
    endif()
endforeach()
foreach(f libArdellix.so pkgconfig/ardellix.pc cmake/Ardellix/ArdellixConfig.cmake
          cmake/Ardellix/ArdellixConfigVersion.cmake)
    if(NOT EXISTS ${libdir}/${f})
        message(FATAL_ERROR "not installed: ${libdir}/${f}")
    endif()
endforeach()
if(NOT IS_SYMLINK ${libdir}/libArdellix.so)
    message(FATAL_ERROR "libArdellix.so is not a link to the versioned library")
endif()
file(READ_SYMLINK ${libdir}/libArdellix.so devlink)
file(READ ${stage}/lib/udev/rules.d/70-klov-probe.rules rule)
foreach(needle [[ATTR{idVendor}=="04d8"]] [[ATTR{idProduct}=="f85d"]] [[TAG+="uaccess"]])
    string(FIND "${rule}" "${needle}" at)
    if(at LESS 0)
        message(FATAL_ERROR "the udev rule lacks ${needle}")
    endif()
endforeach()
run(readelf -d ${sonames})
if(NOT run_out MATCHES "SONAME[^\n]*\\[libArdellix\\.so\\.1\\]")
    message(FATAL_ERROR "libArdellix.so.1 does not carry its SONAME:\n${run_out}")
endif()

# Programs run with the simulated libusb ahead of the real one and the staged library only.
set(run_env ${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${SIM_DIR}" --unset=KLOVSIM_STATE)

foreach(way pkg-config find_package)
    set(bin ${WORK_DIR}/consumer-${way})
    if(way STREQUAL "pkg-config")
        set(how -DUSE_PKG_CONFIG=ON)
    else()
        set(how -DUSE_PKG_CONFIG=OFF -DCMAKE_PREFIX_PATH=${stage})
    endif()
    run(${CMAKE_COMMAND} -E env "PKG_CONFIG_PATH=${libdir}/pkgconfig" --unset=PKG_CONFIG_LIBDIR
        ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${bin} -G ${GENERATOR} ${how}
        "-DCMAKE_C_FLAGS=${C_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${C_FLAGS}")
    run(${CMAKE_COMMAND} --build ${bin})
    # The consumer must have been linked against the staged library, not the build tree's.
    run(ldd ${bin}/consumer)
    string(FIND "${run_out}" "${libdir}/libArdellix.so.1" at)
    if(at LESS 0)
        message(FATAL_ERROR "${way} consumer does not use the staged library:\n${run_out}")
    endif()
    run(${run_env} ${bin}/consumer)
    if(NOT run_out STREQUAL "serial 04124008 hv 900\n")
        message(FATAL_ERROR "${way} consumer printed: ${run_out}")
    endif()
    message(STATUS "${way} consumer: ${run_out}")
endforeach()

# The staged klov loads the staged library through its run path. Under the sanitizers the
# runtime intercepts dlopen and the search uses the runtime's own (empty) run path, and a
# build that installs no run path (the Debian package build) has none, so there the library's
# folder is given explicitly.
if(SANITIZED OR NO_INSTALL_RPATH)
    set(run_env ${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${SIM_DIR}:${libdir}"
        --unset=KLOVSIM_STATE)
endif()
run(${run_env} ${stage}/bin/klov get hv)
if(NOT run_out STREQUAL "900\n")
    message(FATAL_ERROR "staged klov printed: ${run_out}")
endif()
