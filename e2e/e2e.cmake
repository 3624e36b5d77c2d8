# The whole program on one machine, in real time: every test here runs alone, so that what it
# measures (the seams of a scan on a live pipeline, the window's timing) is not the load of other
# tests.

# The scan against the local service: one program, two tests (a clean run and one through the
# storage's faults).
add_executable(tst_e2e_scan ${CMAKE_CURRENT_LIST_DIR}/tests/tst_e2e_scan.cpp
    ${CMAKE_CURRENT_LIST_DIR}/scanrun.h)
target_link_libraries(tst_e2e_scan PRIVATE Qt6::Test Qt6::Sql Qt6::Network mireva_program
    ${OpenCV_LIBS} PkgConfig::LIBZIP nlohmann_json::nlohmann_json)
target_include_directories(tst_e2e_scan PRIVATE
    ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_SOURCE_DIR}/Server)
target_compile_options(tst_e2e_scan PRIVATE ${MIREVA_WARNINGS})
add_dependencies(tst_e2e_scan tavrona-server Varnoke VmbSim)
foreach(case clean faults)
    add_test(NAME e2e_scan_${case} COMMAND tst_e2e_scan wholeScan:${case})
    set_tests_properties(e2e_scan_${case} PROPERTIES LABELS e2e TIMEOUT 300 RUN_SERIAL TRUE
        ENVIRONMENT "${MIREVA_TEST_ENV}" SKIP_RETURN_CODE 77
        WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endforeach()

# The installed program, from a prefix that has been moved.
add_test(NAME e2e_install COMMAND ${CMAKE_CURRENT_LIST_DIR}/tools/install-check ${CMAKE_BINARY_DIR})
set_tests_properties(e2e_install PROPERTIES LABELS e2e TIMEOUT 120 RUN_SERIAL TRUE)

# The window driver's helper: closes a window as its close button would.
find_package(X11)
if(X11_FOUND)
    add_executable(mireva-close-window ${CMAKE_CURRENT_LIST_DIR}/driver/closewindow.cpp)
    target_link_libraries(mireva-close-window PRIVATE X11::X11)
    target_compile_options(mireva-close-window PRIVATE ${MIREVA_WARNINGS})
endif()

# The window, driven headless through one short scan by the run command's own driver.
if(TARGET mireva-close-window)
    add_test(NAME e2e_window COMMAND ${CMAKE_CURRENT_LIST_DIR}/tools/window-check ${CMAKE_BINARY_DIR})
    set_tests_properties(e2e_window PROPERTIES LABELS e2e TIMEOUT 240 RUN_SERIAL TRUE)
endif()

# A scan killed at twenty moments and taken up by the next start: nothing stored is lost.
add_executable(tst_e2e_crash ${CMAKE_CURRENT_LIST_DIR}/tests/tst_e2e_crash.cpp
    ${CMAKE_CURRENT_LIST_DIR}/scanrun.h)
target_link_libraries(tst_e2e_crash PRIVATE Qt6::Test Qt6::Sql Qt6::Network mireva_program
    ${OpenCV_LIBS} PkgConfig::LIBZIP nlohmann_json::nlohmann_json)
target_include_directories(tst_e2e_crash PRIVATE
    ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_SOURCE_DIR}/Server)
target_compile_options(tst_e2e_crash PRIVATE ${MIREVA_WARNINGS})
add_dependencies(tst_e2e_crash tavrona-server Varnoke VmbSim)
# Beside it, in the same program: the service down for 20 s mid-scan, and a new scan started
# while one is open.
foreach(case crash:killedAtAnyMoment outage:serviceDownFor20Seconds newscan:newScanWhileOneIsOpen)
    string(REPLACE ":" ";" parts ${case})
    list(GET parts 0 name)
    list(GET parts 1 function)
    add_test(NAME e2e_${name} COMMAND tst_e2e_crash ${function})
    set_tests_properties(e2e_${name} PROPERTIES LABELS e2e TIMEOUT 900 RUN_SERIAL TRUE
        ENVIRONMENT "${MIREVA_TEST_ENV}" SKIP_RETURN_CODE 77
        WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endforeach()
