# The persistent settings, one property per key, and the keyring or file the token is kept in.
target_sources(mireva_shell PRIVATE ${CMAKE_CURRENT_LIST_DIR}/settings.h ${CMAKE_CURRENT_LIST_DIR}/settings.cpp
    ${CMAKE_CURRENT_LIST_DIR}/secretstore.h ${CMAKE_CURRENT_LIST_DIR}/secretstore.cpp)
