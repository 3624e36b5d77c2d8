# Tests of the camera host (label "camera"). The test plug-ins are real shared libraries built
# beside the test programs, so the program's own loader finds them by name.
add_library(mireva_testcamera SHARED ${CMAKE_CURRENT_LIST_DIR}/tests/testcamera.h
    ${CMAKE_CURRENT_LIST_DIR}/tests/testcamera.cpp)
set_target_properties(mireva_testcamera PROPERTIES AUTOMOC OFF)
target_include_directories(mireva_testcamera PUBLIC ${CMAKE_CURRENT_LIST_DIR}/tests)
target_link_libraries(mireva_testcamera PUBLIC mireva_contract)
target_compile_options(mireva_testcamera PRIVATE ${MIREVA_WARNINGS})

# Alpha and Beta are of this contract; the others are the same plug-in built against an older
# or a newer contract, or before the contract had a version.
foreach(label Alpha Beta OldContract NewerContract Unversioned)
    add_library(MirevaTest${label} SHARED ${CMAKE_CURRENT_LIST_DIR}/tests/testplugin.cpp)
    set_target_properties(MirevaTest${label} PROPERTIES AUTOMOC OFF)
    target_compile_definitions(MirevaTest${label} PRIVATE TEST_PLUGIN_LABEL="${label}")
    target_link_libraries(MirevaTest${label} PRIVATE mireva_testcamera Boost::headers)
    target_compile_options(MirevaTest${label} PRIVATE ${MIREVA_WARNINGS})
endforeach()
target_compile_definitions(MirevaTestOldContract PRIVATE TEST_PLUGIN_CONTRACT_OFFSET=-1)
target_compile_definitions(MirevaTestNewerContract PRIVATE TEST_PLUGIN_CONTRACT_OFFSET=1)
target_compile_definitions(MirevaTestUnversioned PRIVATE TEST_PLUGIN_UNVERSIONED)
add_library(MirevaTestNoPlugin SHARED ${CMAKE_CURRENT_LIST_DIR}/tests/noplugin.cpp)
target_link_libraries(MirevaTestNoPlugin PRIVATE mireva_contract Boost::headers)

mireva_add_test(tst_cameraproperty camera
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_cameraproperty.cpp
    LIBS mireva_camera mireva_testcamera Qt6::Qml)
mireva_add_test(tst_vignettingprofile camera
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_vignettingprofile.cpp
    LIBS mireva_camera opencv_imgproc)
mireva_add_test(tst_cameramanager camera
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_cameramanager.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/logcapture.h
    LIBS mireva_camera mireva_testcamera opencv_imgproc)
mireva_add_test(tst_cameraplugins camera
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_cameraplugins.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/logcapture.h
    LIBS mireva_camera mireva_testcamera)
add_dependencies(tst_cameraplugins MirevaTestAlpha MirevaTestBeta MirevaTestNoPlugin
    MirevaTestOldContract MirevaTestNewerContract MirevaTestUnversioned)
mireva_add_test(tst_camerathread camera
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_camerathread.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/logcapture.h
    LIBS mireva_camera mireva_testcamera)
add_dependencies(tst_camerathread MirevaTestAlpha MirevaTestBeta)
# The same loading under an environment locale the system does not have.
add_test(NAME tst_cameraplugins_missinglocale
    COMMAND tst_cameraplugins loadsInOrderAndReportsFailures)
set_tests_properties(tst_cameraplugins_missinglocale PROPERTIES LABELS camera
    ENVIRONMENT "${MIREVA_TEST_ENV};LANG=xx_XX.UTF-8;LC_ALL=xx_XX.UTF-8"
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
