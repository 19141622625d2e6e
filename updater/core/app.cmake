# The updater's toolkit-free core: both windows as control objects, the library binding and
# the update sequence.
add_library(mirovane_core STATIC
    ${CMAKE_CURRENT_LIST_DIR}/bus_directory.cpp
    ${CMAKE_CURRENT_LIST_DIR}/library_binding.cpp
    ${CMAKE_CURRENT_LIST_DIR}/probe_link.cpp
    ${CMAKE_CURRENT_LIST_DIR}/proven_link.cpp
    ${CMAKE_CURRENT_LIST_DIR}/serial_dlg.cpp
    ${CMAKE_CURRENT_LIST_DIR}/top_level.cpp
    ${CMAKE_CURRENT_LIST_DIR}/update_sequence.cpp
    ${CMAKE_CURRENT_LIST_DIR}/window_update.cpp)
target_include_directories(mirovane_core PUBLIC
    ${CMAKE_CURRENT_LIST_DIR}
    ${PROJECT_SOURCE_DIR}/library/include)
target_link_libraries(mirovane_core PUBLIC mirovane_pipeline mirovane_firmware ${CMAKE_DL_LIBS})
klov_warnings(mirovane_core)
