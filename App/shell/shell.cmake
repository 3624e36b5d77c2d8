# The application object, the log and the entry function.
target_sources(mireva PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/application.h ${CMAKE_CURRENT_LIST_DIR}/application.cpp
    ${CMAKE_CURRENT_LIST_DIR}/entry.h ${CMAKE_CURRENT_LIST_DIR}/entry.cpp)
