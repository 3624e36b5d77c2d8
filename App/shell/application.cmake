# The application object with its exception guard.
target_sources(mireva_shell PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/application.h ${CMAKE_CURRENT_LIST_DIR}/application.cpp)
