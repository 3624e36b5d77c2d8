# The plug-in driven through the host's contract against VmbSim configurations.
mireva_add_test(tst_varnoke varnoke
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_varnoke.cpp ${CMAKE_SOURCE_DIR}/App/common/cameraplugin.h
    LIBS Qt6::Core VmbSim opencv_core opencv_imgproc opencv_imgcodecs
         nlohmann_json::nlohmann_json ${CMAKE_DL_LIBS})
target_include_directories(tst_varnoke PRIVATE ${CMAKE_SOURCE_DIR}/App)
add_dependencies(tst_varnoke Varnoke)
