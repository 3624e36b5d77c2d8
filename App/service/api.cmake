# The request layer, the browser log-in and the uploads of the service client.
target_sources(mireva_service PRIVATE ${CMAKE_CURRENT_LIST_DIR}/api.h ${CMAKE_CURRENT_LIST_DIR}/api.cpp
    ${CMAKE_CURRENT_LIST_DIR}/urlpolicy.h ${CMAKE_CURRENT_LIST_DIR}/urlpolicy.cpp)
mireva_add_test(tst_api service
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_api.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/loopbackserver.h
            ${CMAKE_CURRENT_LIST_DIR}/tests/browserstub.h
    LIBS mireva_service)
mireva_add_test(tst_urlpolicy service SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_urlpolicy.cpp LIBS mireva_service)
