# tessaro_library(<folder> DEPS <targets...>)
# One static library per source folder, named tessaro_<folder>, from every source file in it.
function(tessaro_library folder)
    cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
    file(GLOB _src CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp" "${CMAKE_CURRENT_SOURCE_DIR}/*.h")
    if(_src)
        add_library(tessaro_${folder} STATIC ${_src})
        target_include_directories(tessaro_${folder} PUBLIC "${PROJECT_SOURCE_DIR}/src")
        target_link_libraries(tessaro_${folder} PUBLIC tessaro_options ${ARG_DEPS})
    else() # a folder whose code has not landed yet
        add_library(tessaro_${folder} INTERFACE)
        target_include_directories(tessaro_${folder} INTERFACE "${PROJECT_SOURCE_DIR}/src")
        target_link_libraries(tessaro_${folder} INTERFACE tessaro_options ${ARG_DEPS})
    endif()
endfunction()

# Where the local pages live in the source tree; copied beside each program that shows them.
set(TESSARO_PAGES_DIR "${PROJECT_SOURCE_DIR}/pages")
set(TESSARO_PAGES ts_intro.htm ts_Help_Contents.htm ts_noaccess.htm ts_noregister.htm)

# tessaro_copy_pages(<target>): copy the four local pages beside the target's executable
# (at configure time, so that an edited page is copied again by the next build).
function(tessaro_copy_pages target)
    foreach(page ${TESSARO_PAGES})
        configure_file("${TESSARO_PAGES_DIR}/${page}" "${CMAKE_CURRENT_BINARY_DIR}/${page}" COPYONLY)
    endforeach()
endfunction()
