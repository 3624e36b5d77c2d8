# The side panels of the main window's drawer, the toasts and the spinner, under qrc:/qml/.
qt_add_resources(mireva "mireva_panels" PREFIX "/qml" BASE ${CMAKE_CURRENT_LIST_DIR} FILES
    ${CMAKE_CURRENT_LIST_DIR}/UserView.qml
    ${CMAKE_CURRENT_LIST_DIR}/SelectCamera.qml
    ${CMAKE_CURRENT_LIST_DIR}/CameraProperties.qml
    ${CMAKE_CURRENT_LIST_DIR}/VignettingCorrection.qml
    ${CMAKE_CURRENT_LIST_DIR}/LensProfile.qml
    ${CMAKE_CURRENT_LIST_DIR}/Snapshots.qml
    ${CMAKE_CURRENT_LIST_DIR}/SaveOptions.qml
    ${CMAKE_CURRENT_LIST_DIR}/ToastManager.qml
    ${CMAKE_CURRENT_LIST_DIR}/Spinner.qml)
