# The QML future bridge: the `Future` singleton and its per-type adaptors.
target_sources(mireva_ui PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/quickfuture.h
    ${CMAKE_CURRENT_LIST_DIR}/quickfuturewrapper.h
    ${CMAKE_CURRENT_LIST_DIR}/quickfuture.cpp)

mireva_add_test(tst_quickfutureregistry qml
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_quickfutureregistry.cpp
    LIBS mireva_ui)

# The QML side runs as a Qt Quick Test over the tst_*.qml files beside it.
mireva_add_quick_test(tst_quickfuture_qml qml
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/quickfuturetest.cpp
    QML_FILES
    ${CMAKE_CURRENT_LIST_DIR}/tests/tst_future.qml
    ${CMAKE_CURRENT_LIST_DIR}/tests/tst_promise.qml
    ${CMAKE_CURRENT_LIST_DIR}/tests/tst_promisetype.qml
    LIBS mireva_ui)
