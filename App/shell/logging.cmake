# The log file and the message handler that writes it.
target_sources(mireva_shell PRIVATE ${CMAKE_CURRENT_LIST_DIR}/logging.h ${CMAKE_CURRENT_LIST_DIR}/logging.cpp)
