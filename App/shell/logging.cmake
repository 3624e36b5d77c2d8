target_sources(mireva PRIVATE ${CMAKE_CURRENT_LIST_DIR}/logging.h ${CMAKE_CURRENT_LIST_DIR}/logging.cpp)
