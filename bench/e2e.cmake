# One command for the whole chain's figures: bench_e2e_report [seconds of tour]. It is a plain
# program (it drives the service and the camera in real time), not a Google Benchmark.
add_executable(bench_e2e_report ${CMAKE_CURRENT_LIST_DIR}/e2e_report.cpp
    ${CMAKE_CURRENT_LIST_DIR}/chainrun.h)
target_link_libraries(bench_e2e_report PRIVATE mireva_program ${OpenCV_LIBS} Qt6::Sql
    PkgConfig::LIBZIP nlohmann_json::nlohmann_json)
target_include_directories(bench_e2e_report PRIVATE ${CMAKE_SOURCE_DIR}/e2e ${CMAKE_SOURCE_DIR}/Server)
target_compile_options(bench_e2e_report PRIVATE ${MIREVA_WARNINGS})
set_target_properties(bench_e2e_report PROPERTIES AUTOMOC ON)
add_dependencies(bench_e2e_report tavrona-server Varnoke VmbSim)

# The running chain for a minute at 2048 x 1536 and 30 fps: bench_live_chain [seconds].
add_executable(bench_live_chain ${CMAKE_CURRENT_LIST_DIR}/live_chain.cpp
    ${CMAKE_CURRENT_LIST_DIR}/chainrun.h)
target_link_libraries(bench_live_chain PRIVATE mireva_program ${OpenCV_LIBS} Qt6::Sql
    PkgConfig::LIBZIP nlohmann_json::nlohmann_json)
target_include_directories(bench_live_chain PRIVATE ${CMAKE_SOURCE_DIR}/e2e ${CMAKE_SOURCE_DIR}/Server)
target_compile_options(bench_live_chain PRIVATE ${MIREVA_WARNINGS})
set_target_properties(bench_live_chain PROPERTIES AUTOMOC ON)
add_dependencies(bench_live_chain tavrona-server Varnoke VmbSim)
