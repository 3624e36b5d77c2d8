# The live mosaic: per-frame cost of the live builder and its registration accuracy.
mireva_add_benchmark(bench_mosaic ${CMAKE_CURRENT_LIST_DIR}/bench_mosaic.cpp)
target_link_libraries(bench_mosaic PRIVATE mireva_mosaic)
# The tour and the texture the accuracy test uses.
target_include_directories(bench_mosaic PRIVATE ${CMAKE_SOURCE_DIR}/App/mosaic/tests)
# The accuracy figure on the simulated microscope, where the simulator is part of the build.
if(TARGET vmbsim_core)
    target_link_libraries(bench_mosaic PRIVATE vmbsim_core)
    target_compile_definitions(bench_mosaic PRIVATE MIREVA_HAVE_VMBSIM)
endif()
