# The QML screens, compiled into the program's resources under qrc:/qml/.
qt_add_resources(mireva "mireva_qml" PREFIX "/qml" BASE ${CMAKE_CURRENT_LIST_DIR} FILES
    ${CMAKE_CURRENT_LIST_DIR}/MainWindow.qml)
