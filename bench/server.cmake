# The local Tavrona server: composing a saved scan's part for the browser, and reading an
# upload form.
if(TARGET tavrona_core)
    mireva_add_benchmark(bench_server ${CMAKE_CURRENT_LIST_DIR}/bench_server.cpp)
    target_link_libraries(bench_server PRIVATE tavrona_core)
endif()
