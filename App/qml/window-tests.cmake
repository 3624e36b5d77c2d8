# Qt Quick tests of the main window and the scan view, run over the real documents in the
# resources with stand-in facades.
set(window_test_files
    ${CMAKE_CURRENT_LIST_DIR}/tests/tst_window.qml
    ${CMAKE_CURRENT_LIST_DIR}/tests/tst_scanview.qml
    ${CMAKE_CURRENT_LIST_DIR}/tests/tst_windowrendering.qml)
add_executable(tst_window_qml ${CMAKE_CURRENT_LIST_DIR}/tests/windowtest.cpp ${window_test_files})
target_link_libraries(tst_window_qml PRIVATE Qt6::QuickTest Qt6::Qml Qt6::Quick mireva)
target_compile_options(tst_window_qml PRIVATE ${MIREVA_WARNINGS})
foreach(test_file ${window_test_files})
    get_filename_component(test_name ${test_file} NAME_WE)
    add_test(NAME ${test_name} COMMAND tst_window_qml -input ${test_file})
    set_tests_properties(${test_name} PROPERTIES LABELS qml
        ENVIRONMENT "${MIREVA_TEST_ENV}" SKIP_RETURN_CODE 77
        WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endforeach()
