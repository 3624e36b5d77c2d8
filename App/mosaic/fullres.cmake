# The full-resolution builder: cell store, alignment, scan package and its facade.
target_sources(mireva PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/imagecache.h
    ${CMAKE_CURRENT_LIST_DIR}/zipwriter.h ${CMAKE_CURRENT_LIST_DIR}/zipwriter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/bigbuilder.h ${CMAKE_CURRENT_LIST_DIR}/bigbuilder.cpp
    ${CMAKE_CURRENT_LIST_DIR}/bigbuilderthread.h ${CMAKE_CURRENT_LIST_DIR}/bigbuilderthread.cpp)

mireva_add_test(tst_bigbuilder fullres SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_bigbuilder.cpp LIBS mireva)
mireva_add_test(tst_bigbuilder_package fullres SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_bigbuilder_package.cpp LIBS mireva)
mireva_add_test(tst_bigbuilderthread fullres SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_bigbuilderthread.cpp LIBS mireva)
