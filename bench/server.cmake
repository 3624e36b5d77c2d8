# The local Tavrona server: reading an upload form, and making a saved part's tiled pyramid.
if(TARGET tavrona_core)
    mireva_add_benchmark(bench_server ${CMAKE_CURRENT_LIST_DIR}/bench_server.cpp)
    target_link_libraries(bench_server PRIVATE tavrona_core)
    mireva_add_benchmark(bench_pyramid ${CMAKE_CURRENT_LIST_DIR}/bench_pyramid.cpp)
    target_link_libraries(bench_pyramid PRIVATE tavrona_core)
    # A tile request to the server executable over loopback.
    mireva_add_benchmark(bench_tiles ${CMAKE_CURRENT_LIST_DIR}/bench_tiles.cpp)
    target_link_libraries(bench_tiles PRIVATE tavrona_core Qt6::Test)
    target_include_directories(bench_tiles PRIVATE ${CMAKE_SOURCE_DIR}/Server/tests)
    add_dependencies(bench_tiles tavrona-server)
endif()
