# The program's rooms as build targets. A room is a library made of one or more folders of
# App/; its headers are offered through an include root of its own in the build tree
# (rooms/<target>/<folder>/<header>, each a link to the source), so a file reaches exactly the
# headers of the rooms its target links, and an include of any other room fails to build. A
# room's private headers (*_p.h) are not offered at all.

# mireva_add_room(<name> [INTERFACE] FOLDERS <folder>... [PUBLIC <item>...] [PRIVATE <item>...])
# Makes the target mireva_<name>: a shared library installed beside the program, or, with
# INTERFACE, a header-only room.
function(mireva_add_room name)
    cmake_parse_arguments(ARG "INTERFACE" "" "FOLDERS;PUBLIC;PRIVATE" ${ARGN})
    set(target mireva_${name})
    if(ARG_INTERFACE)
        add_library(${target} INTERFACE)
        set(scope INTERFACE)
    else()
        add_library(${target} SHARED)
        set_target_properties(${target} PROPERTIES AUTOMOC ON AUTORCC ON)
        target_compile_options(${target} PRIVATE ${MIREVA_WARNINGS})
        target_link_libraries(${target} PRIVATE ${ARG_PRIVATE})
        install(TARGETS ${target} LIBRARY DESTINATION bin)
        # A room registers types and resources as it is loaded, so whoever links it must load
        # it even without calling into it (the toolchain's default drops such a library).
        target_link_options(${target} INTERFACE LINKER:--no-as-needed)
        set(scope PUBLIC)
    endif()
    target_link_libraries(${target} ${scope} ${ARG_PUBLIC})

    set(root ${CMAKE_BINARY_DIR}/rooms/${target})
    file(REMOVE_RECURSE ${root})
    foreach(folder ${ARG_FOLDERS})
        file(MAKE_DIRECTORY ${root}/${folder})
        file(GLOB headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/App/${folder}/*.h)
        # Headers named *_p.h are the room's own, for its sources beside them.
        list(FILTER headers EXCLUDE REGEX "_p\\.h$")
        foreach(header ${headers})
            get_filename_component(file_name ${header} NAME)
            file(CREATE_LINK ${header} ${root}/${folder}/${file_name} SYMBOLIC)
        endforeach()
    endforeach()
    target_include_directories(${target} ${scope} $<BUILD_INTERFACE:${root}>)
endfunction()

# mireva_forbid_include(<room> <header> <label>): a test that proves a file of <room> cannot
# include <header>. The probe is a one-line source outside the default build, compiled on demand
# by the test against the room's include path; it passes when the compiler reports exactly that
# header as missing.
function(mireva_forbid_include room header label)
    string(MAKE_C_IDENTIFIER "${header}" header_id)
    set(probe rooms_probe_${room}_${header_id})
    add_library(${probe} OBJECT EXCLUDE_FROM_ALL ${PROJECT_SOURCE_DIR}/App/tests/includeprobe.cpp)
    set_target_properties(${probe} PROPERTIES AUTOMOC OFF AUTORCC OFF)
    target_link_libraries(${probe} PRIVATE mireva_${room})
    target_compile_definitions(${probe} PRIVATE MIREVA_PROBE_HEADER="${header}")
    string(REPLACE "." "\\." pattern "${header}")
    add_test(NAME rooms_${room}_cannot_include_${header_id}
        COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target ${probe})
    # Every probe runs the build tool in this build folder: one at a time.
    set_tests_properties(rooms_${room}_cannot_include_${header_id} PROPERTIES LABELS ${label}
        PASS_REGULAR_EXPRESSION "${pattern}: No such file or directory|'${pattern}' file not found"
        RESOURCE_LOCK mireva_build_tree TIMEOUT 120)
endfunction()
