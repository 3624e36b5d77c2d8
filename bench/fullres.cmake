# The full-resolution builder: one camera frame stored, and one archive of 101 cells.
mireva_add_benchmark(bench_fullres ${CMAKE_CURRENT_LIST_DIR}/bench_fullres.cpp)
target_link_libraries(bench_fullres PRIVATE
    mireva_mosaic opencv_imgproc opencv_imgcodecs PkgConfig::LIBZIP)
