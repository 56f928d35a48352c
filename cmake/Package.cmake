# fwimage as integrators install their other tools: `cmake --install` puts it
# on the PATH with its README, and CPack makes a Debian package of the same.
# Only fwimage has install rules, so the package holds nothing else.
include(GNUInstallDirs)
install(TARGETS fwimage RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/tools/fwimage/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/fwimage)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fwimage)
set(CPACK_PACKAGE_VERSION ${KIT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "List and edit UEFI firmware images: FFS files, volumes, full SPI dumps")
set(CPACK_PACKAGE_CONTACT "Board firmware team <firmware@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
# Named, not computed: dpkg-shlibdeps is not on every machine that builds this.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, liblzma5")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
