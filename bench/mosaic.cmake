# The live mosaic: per-frame cost of the live builder and its registration accuracy.
mireva_add_benchmark(bench_mosaic ${CMAKE_CURRENT_LIST_DIR}/bench_mosaic.cpp)
target_link_libraries(bench_mosaic PRIVATE mireva)
