# The Debian package: everything `cmake --install` puts into the prefix (the program, its
# library, the camera plug-in and the simulator beside them, the local service), with the
# package's dependencies worked out from the binaries by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mireva)
set(CPACK_PACKAGE_VENDOR "Tavrona")
set(CPACK_PACKAGE_CONTACT "Mireva developers <mireva@tavrona.local>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Manual whole-slide scanner for microscope cameras, with a local Tavrona service")
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/mireva)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The program's own libraries sit beside it and are found through RPATH $ORIGIN.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# QML modules and Qt plug-ins are loaded at run time, so dpkg-shlibdeps cannot see them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qml6-module-qtquick, qml6-module-qtquick-controls, qml6-module-qtquick-templates, qml6-module-qtquick-layouts, qml6-module-qtquick-window, qml6-module-qtquick-shapes, qml6-module-qtquick-dialogs, qml6-module-qtqml-workerscript, qml6-module-qtqml-models, qml6-module-qtmultimedia, qml6-module-qt-labs-platform, qt6-image-formats-plugins, qt6-qpa-plugins, libqt6sql6-sqlite")
include(CPack)
