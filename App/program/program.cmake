# The program: the entry function, the wiring of the four facades, and the executable.
target_sources(mireva_program PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/entry.h ${CMAKE_CURRENT_LIST_DIR}/entry.cpp
    ${CMAKE_CURRENT_LIST_DIR}/facades.h ${CMAKE_CURRENT_LIST_DIR}/facades.cpp
    ${CMAKE_CURRENT_LIST_DIR}/scankeeper.h ${CMAKE_CURRENT_LIST_DIR}/scankeeper.cpp)

add_executable(Mireva ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(Mireva PRIVATE mireva_program)
target_compile_options(Mireva PRIVATE ${MIREVA_WARNINGS})
install(TARGETS Mireva RUNTIME DESTINATION bin)
