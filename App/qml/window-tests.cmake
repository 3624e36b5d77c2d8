# Qt Quick tests of the main window and the scan view, run over the real documents in the
# resources with stand-in facades.
set(window_test_files
    ${CMAKE_CURRENT_LIST_DIR}/tests/tst_window.qml
    ${CMAKE_CURRENT_LIST_DIR}/tests/tst_scanview.qml
    ${CMAKE_CURRENT_LIST_DIR}/tests/tst_windowrendering.qml)
mireva_add_quick_test(tst_window_qml qml
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/windowtest.cpp QML_FILES ${window_test_files}
    LIBS mireva_ui mireva_camera mireva_service)
