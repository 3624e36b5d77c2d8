# Tests of the program (label "program").

# The wiring of the four facades: the log-in gate on frames, the upload hand-off, the scan that
# starts a builder, the order of creation and stop; the scans kept across runs.
mireva_add_test(tst_facades program
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_facades.cpp
    LIBS mireva_program opencv_imgproc PkgConfig::LIBZIP)
# The cell fixtures of the full-resolution builder's tests make the scans left by earlier runs.
target_include_directories(tst_facades PRIVATE ${CMAKE_SOURCE_DIR}/App/mosaic/tests)

# The entry function, run in a helper process with test main windows.
add_executable(tst_program_app ${CMAKE_CURRENT_LIST_DIR}/tests/programapp.cpp)
target_link_libraries(tst_program_app PRIVATE mireva_program)
target_compile_options(tst_program_app PRIVATE ${MIREVA_WARNINGS})
mireva_add_test(tst_entry program
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_entry.cpp
            ${CMAKE_SOURCE_DIR}/App/shell/tests/loopbackreceiver.h
    LIBS Qt6::Network)
target_include_directories(tst_entry PRIVATE ${CMAKE_SOURCE_DIR}/App/shell/tests)
target_compile_definitions(tst_entry
    PRIVATE PROGRAM_TEST_QML_DIR="${CMAKE_CURRENT_LIST_DIR}/tests/qml")
add_dependencies(tst_entry tst_program_app)
