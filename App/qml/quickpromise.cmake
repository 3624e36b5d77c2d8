# The QuickPromise QML module, shipped in the program's resources under qrc:/QuickPromise/ and
# found through the import path "qrc:///".
qt_add_resources(mireva_ui "quickpromise"
    PREFIX "/QuickPromise"
    BASE ${CMAKE_CURRENT_LIST_DIR}/QuickPromise
    FILES
        ${CMAKE_CURRENT_LIST_DIR}/QuickPromise/qmldir
        ${CMAKE_CURRENT_LIST_DIR}/QuickPromise/promise.js
        ${CMAKE_CURRENT_LIST_DIR}/QuickPromise/Promise.qml
        ${CMAKE_CURRENT_LIST_DIR}/QuickPromise/PromiseTimer.qml)
