# Builds the Debian package from the build tree and checks its control fields and contents.
# Variables: BUILD_DIR, WORK_DIR.
cmake_minimum_required(VERSION 3.25)

include(${CMAKE_CURRENT_LIST_DIR}/run_step.cmake)

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
run(cpack -G DEB -B ${WORK_DIR} --config ${BUILD_DIR}/CPackConfig.cmake)
file(GLOB debs ${WORK_DIR}/*.deb)
list(LENGTH debs count)
if(NOT count EQUAL 1)
    message(FATAL_ERROR "expected one .deb in ${WORK_DIR}, found: ${debs}")
endif()

run(dpkg-deb --field ${debs} Package Version Depends)
foreach(needle "Package: klov-probe-tools" "Version: " "libusb-0.1-4")
    string(FIND "${run_out}" "${needle}" at)
    if(at LESS 0)
        message(FATAL_ERROR "control fields lack '${needle}':\n${run_out}")
    endif()
endforeach()

run(dpkg-deb --contents ${debs})
foreach(path ./usr/bin/klov ./usr/include/ardellix.h libArdellix.so.1 "libArdellix.so -> "
        ardellix.pc ArdellixConfig.cmake ArdellixTargets.cmake /udev/rules.d/70-klov-probe.rules)
    string(FIND "${run_out}" "${path}" at)
    if(at LESS 0)
        message(FATAL_ERROR "the package lacks ${path}:\n${run_out}")
    endif()
endforeach()
message(STATUS "built ${debs}")
