# The QML future bridge: the `Future` singleton and its per-type adaptors.
target_sources(mireva PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/quickfuture.h
    ${CMAKE_CURRENT_LIST_DIR}/quickfuturewrapper.h
    ${CMAKE_CURRENT_LIST_DIR}/quickfuture.cpp)

mireva_add_test(tst_quickfutureregistry qml
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_quickfutureregistry.cpp
    LIBS mireva)

# The QML side runs as a Qt Quick Test over the tst_*.qml files beside it.
add_executable(tst_quickfuture_qml ${CMAKE_CURRENT_LIST_DIR}/tests/quickfuturetest.cpp)
target_link_libraries(tst_quickfuture_qml PRIVATE Qt6::QuickTest Qt6::Qml Qt6::Quick mireva)
target_compile_options(tst_quickfuture_qml PRIVATE ${MIREVA_WARNINGS})
add_test(NAME tst_quickfuture_qml
    COMMAND tst_quickfuture_qml -input ${CMAKE_CURRENT_LIST_DIR}/tests)
set_tests_properties(tst_quickfuture_qml PROPERTIES LABELS qml
    ENVIRONMENT "${MIREVA_TEST_ENV}" SKIP_RETURN_CODE 77
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
