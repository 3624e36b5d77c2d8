# The main window, its header and the scan view, compiled into the program's resources under
# qrc:/qml/.
qt_add_resources(mireva_ui "mireva_qml" PREFIX "/qml" BASE ${CMAKE_CURRENT_LIST_DIR} FILES
    ${CMAKE_CURRENT_LIST_DIR}/MainWindow.qml
    ${CMAKE_CURRENT_LIST_DIR}/TopBar.qml
    ${CMAKE_CURRENT_LIST_DIR}/ScanView.qml
    ${CMAKE_CURRENT_LIST_DIR}/CvImageWrapper.qml
    ${CMAKE_CURRENT_LIST_DIR}/Ruler.qml
    ${CMAKE_CURRENT_LIST_DIR}/ScaleBar.qml)
