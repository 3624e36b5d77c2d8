# The side panels of the main window's drawer, the toasts and the spinner, under qrc:/qml/.
qt_add_resources(mireva_ui "mireva_panels" PREFIX "/qml" BASE ${CMAKE_CURRENT_LIST_DIR} FILES
    ${CMAKE_CURRENT_LIST_DIR}/CollapsiblePanel.qml
    ${CMAKE_CURRENT_LIST_DIR}/UserView.qml
    ${CMAKE_CURRENT_LIST_DIR}/SelectCamera.qml
    ${CMAKE_CURRENT_LIST_DIR}/CameraProperties.qml
    ${CMAKE_CURRENT_LIST_DIR}/EnumPropertyButtons.qml
    ${CMAKE_CURRENT_LIST_DIR}/VignettingCorrection.qml
    ${CMAKE_CURRENT_LIST_DIR}/LensProfile.qml
    ${CMAKE_CURRENT_LIST_DIR}/Snapshots.qml
    ${CMAKE_CURRENT_LIST_DIR}/SaveOptions.qml
    ${CMAKE_CURRENT_LIST_DIR}/UnsavedScans.qml
    ${CMAKE_CURRENT_LIST_DIR}/ToastManager.qml
    ${CMAKE_CURRENT_LIST_DIR}/Toast.qml
    ${CMAKE_CURRENT_LIST_DIR}/Spinner.qml)

# The UI translations: the committed catalogues in i18n/ become i18n/pl_PL.qm and i18n/en_US.qm
# under qrc:/i18n/. The build only compiles them; lupdate rewrites them from the sources (the QML
# documents and the few translated texts of the C++ code) only through the target
# "update_translations".
file(GLOB mireva_translated_qml CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.qml)
file(GLOB mireva_translated_cpp CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_LIST_DIR}/../service/*.cpp ${CMAKE_CURRENT_LIST_DIR}/../shell/*.cpp)
qt_add_translations(mireva_ui
    TS_FILES ${CMAKE_CURRENT_LIST_DIR}/i18n/pl_PL.ts ${CMAKE_CURRENT_LIST_DIR}/i18n/en_US.ts
    SOURCES ${mireva_translated_qml} ${mireva_translated_cpp}
    INCLUDE_DIRECTORIES ${CMAKE_CURRENT_LIST_DIR}/..
    LUPDATE_OPTIONS -locations none -no-obsolete
    RESOURCE_PREFIX "/i18n")
