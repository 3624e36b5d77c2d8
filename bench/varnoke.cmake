# The simulated microscope's cost per frame (rendering, tile generation, conversion to RGB).
if(TARGET vmbsim_core)
    mireva_add_benchmark(bench_vmbsim ${CMAKE_CURRENT_LIST_DIR}/bench_vmbsim.cpp)
    target_link_libraries(bench_vmbsim PRIVATE vmbsim_core VmbSim)
endif()
