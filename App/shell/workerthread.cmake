target_sources(mireva PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/workerthread.h ${CMAKE_CURRENT_LIST_DIR}/workerthread.cpp
    ${CMAKE_CURRENT_LIST_DIR}/metatypes.h)
