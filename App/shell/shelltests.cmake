# Tests of the shell (label "shell").
mireva_add_test(tst_logging shell SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_logging.cpp LIBS mireva)
