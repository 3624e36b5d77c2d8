# Tests of the shell (label "shell").
mireva_add_test(tst_workerthread shell
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_workerthread.cpp LIBS mireva_shell)
mireva_add_test(tst_logging shell SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_logging.cpp LIBS mireva_shell)

mireva_add_test(tst_settings shell SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_settings.cpp LIBS mireva_shell)
# Small catalogues of the test's own, so the language choice is checked without the UI's.
qt_add_lrelease(tst_settings
    TS_FILES ${CMAKE_CURRENT_LIST_DIR}/tests/i18n/pl_PL.ts ${CMAKE_CURRENT_LIST_DIR}/tests/i18n/en_US.ts
    QM_FILES_OUTPUT_VARIABLE tst_settings_qm)
qt_add_resources(tst_settings "tst_settings_i18n" PREFIX "/testi18n"
    BASE ${CMAKE_CURRENT_BINARY_DIR} FILES ${tst_settings_qm})

mireva_add_test(tst_crashreport shell
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_crashreport.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/loopbackreceiver.h
    LIBS mireva_shell)
# Dies of a fatal signal on request, so the next start's report can be checked.
add_executable(tst_crashreport_crasher ${CMAKE_CURRENT_LIST_DIR}/tests/crasher.cpp)
target_link_libraries(tst_crashreport_crasher PRIVATE mireva_shell)
target_compile_options(tst_crashreport_crasher PRIVATE ${MIREVA_WARNINGS})
add_dependencies(tst_crashreport tst_crashreport_crasher)


mireva_add_test(tst_simd shell SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_simd.cpp LIBS mireva_shell)

mireva_add_test(tst_redaction shell SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_redaction.cpp LIBS mireva_shell)

mireva_add_test(tst_secretstore shell SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_secretstore.cpp LIBS mireva_shell)
mireva_add_test(tst_secretstore_silentkeyring shell
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_secretstore_silentkeyring.cpp LIBS mireva_shell)
# A keyring wait that is not bounded would hang here: fail in a minute instead.
set_tests_properties(tst_secretstore_silentkeyring PROPERTIES TIMEOUT 60)
