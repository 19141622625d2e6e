# libusb-win32's libusb0.dll: our own declarations of its interface (include/usb.h) and an
# import library made at build time from the functions the library calls (libusb0.def).
set(ARDELLIX_USB_INCLUDE_DIR ${CMAKE_CURRENT_LIST_DIR}/include)
set(ARDELLIX_USB_LIBRARY ${CMAKE_CURRENT_BINARY_DIR}/libusb0.dll.a)

add_custom_command(
    OUTPUT ${ARDELLIX_USB_LIBRARY}
    COMMAND ${CMAKE_DLLTOOL} -d ${CMAKE_CURRENT_LIST_DIR}/libusb0.def -l ${ARDELLIX_USB_LIBRARY}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/libusb0.def
    COMMENT "Writing the import library of libusb0.dll"
    VERBATIM)
add_custom_target(libusb0_import DEPENDS ${ARDELLIX_USB_LIBRARY})

# The headers alone, for code that stands in for the DLL.
add_library(libusb0_api INTERFACE)
target_include_directories(libusb0_api INTERFACE ${ARDELLIX_USB_INCLUDE_DIR})
