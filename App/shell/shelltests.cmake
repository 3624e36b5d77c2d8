# Tests of the shell (label "shell").
mireva_add_test(tst_logging shell SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_logging.cpp LIBS mireva)

mireva_add_test(tst_settings shell SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_settings.cpp LIBS mireva)
# Small catalogues of the test's own, so the language choice is checked without the UI's.
qt_add_lrelease(tst_settings
    TS_FILES ${CMAKE_CURRENT_LIST_DIR}/tests/i18n/pl_PL.ts ${CMAKE_CURRENT_LIST_DIR}/tests/i18n/en_US.ts
    QM_FILES_OUTPUT_VARIABLE tst_settings_qm)
qt_add_resources(tst_settings "tst_settings_i18n" PREFIX "/testi18n"
    BASE ${CMAKE_CURRENT_BINARY_DIR} FILES ${tst_settings_qm})
