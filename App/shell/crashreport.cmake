# Crash reports: the reporter (crashreport.cpp), the fatal-signal handler, the outbox and its
# sender, the envelopes. The *_p.h headers are the shell's own: no other room sees them.
target_sources(mireva_shell PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/crashreport.h ${CMAKE_CURRENT_LIST_DIR}/crashreport.cpp
    ${CMAKE_CURRENT_LIST_DIR}/crashsignals_p.h ${CMAKE_CURRENT_LIST_DIR}/crashsignals.cpp
    ${CMAKE_CURRENT_LIST_DIR}/crashoutbox_p.h ${CMAKE_CURRENT_LIST_DIR}/crashoutbox.cpp
    ${CMAKE_CURRENT_LIST_DIR}/crashenvelope.cpp)
