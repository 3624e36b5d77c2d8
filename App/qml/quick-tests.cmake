# The Qt Quick tests of the window, the scan view, the side panels and the toasts, run over the
# real documents in the resources with the stand-in facades of tests/standins.h, which
# tst_standins holds to the real facades; and the check of the Polish catalogue.
add_library(mireva_qml_standins STATIC
    ${CMAKE_CURRENT_LIST_DIR}/tests/standins.h ${CMAKE_CURRENT_LIST_DIR}/tests/standins.cpp)
target_link_libraries(mireva_qml_standins PUBLIC mireva_ui mireva_camera mireva_service)
target_compile_options(mireva_qml_standins PRIVATE ${MIREVA_WARNINGS})

set(quick_test_files
    ${CMAKE_CURRENT_LIST_DIR}/tests/tst_window.qml
    ${CMAKE_CURRENT_LIST_DIR}/tests/tst_scanview.qml
    ${CMAKE_CURRENT_LIST_DIR}/tests/tst_windowrendering.qml
    ${CMAKE_CURRENT_LIST_DIR}/tests/tst_panelcamera.qml
    ${CMAKE_CURRENT_LIST_DIR}/tests/tst_panelservice.qml
    ${CMAKE_CURRENT_LIST_DIR}/tests/tst_paneltoasts.qml)
mireva_add_quick_test(tst_qml qml
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/quicktest.cpp QML_FILES ${quick_test_files}
    LIBS mireva_qml_standins)

mireva_add_test(tst_standins qml
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_standins.cpp LIBS mireva_qml_standins mireva_mosaic)
target_compile_definitions(tst_standins PRIVATE
    MIREVA_QML_TESTS_DIR="${CMAKE_CURRENT_LIST_DIR}/tests")

mireva_add_test(tst_translations qml
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_translations.cpp LIBS mireva_ui)
