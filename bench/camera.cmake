# One camera frame step at full camera resolution: preview and sharpness, and with vignetting
# correction on.
mireva_add_benchmark(bench_camera ${CMAKE_CURRENT_LIST_DIR}/bench_camera.cpp)
target_link_libraries(bench_camera PRIVATE mireva_camera)
