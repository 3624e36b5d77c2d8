# Load on the server from simulated programs, on each back-end pair with one and two server
# processes: bench_load_report (a plain program, see bench/README.md).
if(TARGET tavrona_core)
    add_executable(bench_load_report ${CMAKE_CURRENT_LIST_DIR}/load_report.cpp)
    target_link_libraries(bench_load_report PRIVATE tavrona_core)
    target_include_directories(bench_load_report PRIVATE ${CMAKE_SOURCE_DIR}/Server/tests)
    target_compile_definitions(bench_load_report PRIVATE MIREVA_NODE="${MIREVA_NODE}"
        MIREVA_NODE_TOOLS="${CMAKE_SOURCE_DIR}/Server/tests/node")
    target_compile_options(bench_load_report PRIVATE ${MIREVA_WARNINGS})
    add_dependencies(bench_load_report tavrona-server)
endif()
