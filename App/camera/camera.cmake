# Camera host: plug-in loading, the camera worker and its frame loop, properties, vignetting and
# the QML facade.
target_sources(mireva_camera PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/frameinfo.h
    ${CMAKE_CURRENT_LIST_DIR}/cameraproperty.h
    ${CMAKE_CURRENT_LIST_DIR}/cameraproperty.cpp
    ${CMAKE_CURRENT_LIST_DIR}/vignettingprofile.h
    ${CMAKE_CURRENT_LIST_DIR}/vignettingprofile.cpp
    ${CMAKE_CURRENT_LIST_DIR}/lumashift.h
    ${CMAKE_CURRENT_LIST_DIR}/lumashift.cpp
    ${CMAKE_CURRENT_LIST_DIR}/cameramanager.h
    ${CMAKE_CURRENT_LIST_DIR}/cameramanager.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sharpness.cpp
    ${CMAKE_CURRENT_LIST_DIR}/camerathread.h
    ${CMAKE_CURRENT_LIST_DIR}/camerathread.cpp
    ${CMAKE_CURRENT_LIST_DIR}/cameratypes.cpp)
