# Qt Quick tests of the side panels, the toasts and the spinner, run over the real documents in
# the resources with stand-in facades; and the check of the Polish catalogue.
set(panel_test_files
    ${CMAKE_CURRENT_LIST_DIR}/tests/tst_panelcamera.qml
    ${CMAKE_CURRENT_LIST_DIR}/tests/tst_panelservice.qml
    ${CMAKE_CURRENT_LIST_DIR}/tests/tst_paneltoasts.qml)
add_executable(tst_panels_qml ${CMAKE_CURRENT_LIST_DIR}/tests/panelstest.cpp ${panel_test_files})
target_link_libraries(tst_panels_qml PRIVATE Qt6::QuickTest Qt6::Qml Qt6::Quick mireva)
target_compile_options(tst_panels_qml PRIVATE ${MIREVA_WARNINGS})
foreach(test_file ${panel_test_files})
    get_filename_component(test_name ${test_file} NAME_WE)
    add_test(NAME ${test_name} COMMAND tst_panels_qml -input ${test_file})
    set_tests_properties(${test_name} PROPERTIES LABELS qml
        ENVIRONMENT "${MIREVA_TEST_ENV}" SKIP_RETURN_CODE 77
        WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endforeach()

mireva_add_test(tst_translations qml
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_translations.cpp LIBS mireva)
