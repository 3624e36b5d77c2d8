# Qt Quick tests of the side panels, the toasts and the spinner, run over the real documents in
# the resources with stand-in facades; and the check of the Polish catalogue.
set(panel_test_files
    ${CMAKE_CURRENT_LIST_DIR}/tests/tst_panelcamera.qml
    ${CMAKE_CURRENT_LIST_DIR}/tests/tst_panelservice.qml
    ${CMAKE_CURRENT_LIST_DIR}/tests/tst_paneltoasts.qml)
mireva_add_quick_test(tst_panels_qml qml
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/panelstest.cpp QML_FILES ${panel_test_files}
    LIBS mireva_ui mireva_camera mireva_service)

mireva_add_test(tst_translations qml
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_translations.cpp LIBS mireva_ui)
