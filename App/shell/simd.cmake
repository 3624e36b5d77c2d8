# How the image kernels choose their vector code (see simd.h).
target_sources(mireva_shell PRIVATE ${CMAKE_CURRENT_LIST_DIR}/simd.h ${CMAKE_CURRENT_LIST_DIR}/simd.cpp)
