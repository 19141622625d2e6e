# The firmware pipeline: codec, firmware image, HEX reader, identity patching, text helpers
# and the module generator behind the mkinline tool.
add_library(mirovane_pipeline STATIC
    ${CMAKE_CURRENT_LIST_DIR}/codec.cpp
    ${CMAKE_CURRENT_LIST_DIR}/firmware_image.cpp
    ${CMAKE_CURRENT_LIST_DIR}/hex_reader.cpp
    ${CMAKE_CURRENT_LIST_DIR}/identity_patch.cpp
    ${CMAKE_CURRENT_LIST_DIR}/text_utils.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mkinline.cpp)
target_include_directories(mirovane_pipeline PUBLIC ${CMAKE_CURRENT_LIST_DIR})
klov_warnings(mirovane_pipeline)
