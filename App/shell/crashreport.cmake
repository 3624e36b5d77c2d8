# Crash reports: the fatal-signal handler, the outbox and its sender, the envelopes.
target_sources(mireva_shell PRIVATE ${CMAKE_CURRENT_LIST_DIR}/crashreport.h ${CMAKE_CURRENT_LIST_DIR}/crashreport.cpp)
