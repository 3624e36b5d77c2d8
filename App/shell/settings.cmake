# The persistent settings, one property per key.
target_sources(mireva_shell PRIVATE ${CMAKE_CURRENT_LIST_DIR}/settings.h ${CMAKE_CURRENT_LIST_DIR}/settings.cpp)
