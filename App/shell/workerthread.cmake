# The worker thread every facade owns, and the meta types that cross threads.
target_sources(mireva_shell PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/workerthread.h ${CMAKE_CURRENT_LIST_DIR}/workerthread.cpp
    ${CMAKE_CURRENT_LIST_DIR}/metatypes.h)
