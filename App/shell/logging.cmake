# The log file and the message handler that writes it, and the redaction every line goes through.
target_sources(mireva_shell PRIVATE ${CMAKE_CURRENT_LIST_DIR}/logging.h ${CMAKE_CURRENT_LIST_DIR}/logging.cpp
    ${CMAKE_CURRENT_LIST_DIR}/redaction.h ${CMAKE_CURRENT_LIST_DIR}/redaction.cpp)
