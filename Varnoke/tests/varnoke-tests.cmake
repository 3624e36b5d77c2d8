# The plug-in driven through the host's contract against VmbSim configurations.
mireva_add_test(tst_varnoke varnoke
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_varnoke.cpp ${CMAKE_SOURCE_DIR}/App/common/cameraplugin.h
    LIBS mireva_contract VmbSim opencv_core opencv_imgproc opencv_imgcodecs
         nlohmann_json::nlohmann_json ${CMAKE_DL_LIBS})
add_dependencies(tst_varnoke Varnoke)
