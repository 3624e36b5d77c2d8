# The service facade, its scan records and the helper that calls into the service thread.
target_sources(mireva_service PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/apithread.h ${CMAKE_CURRENT_LIST_DIR}/apithread.cpp
    ${CMAKE_CURRENT_LIST_DIR}/scan.h ${CMAKE_CURRENT_LIST_DIR}/scan.cpp
    ${CMAKE_CURRENT_LIST_DIR}/runinownthread.h)
mireva_add_test(tst_apithread service
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_apithread.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/loopbackserver.h
            ${CMAKE_CURRENT_LIST_DIR}/tests/browserstub.h
    LIBS mireva_service)
# Nothing secret in the log or the crash reports after a log-in and a scan.
mireva_add_test(tst_secretleaks service
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_secretleaks.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/loopbackserver.h
            ${CMAKE_CURRENT_LIST_DIR}/tests/browserstub.h
    LIBS mireva_service)
