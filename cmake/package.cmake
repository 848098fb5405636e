# cpack -G DEB: a Debian package of an ordinary Release build configured with
# -DCMAKE_INSTALL_PREFIX=/usr (tools/package-check.sh builds, checks and installs one). It holds
# what cmake --install puts in place, plus what Debian asks of every package: man pages
# compressed, and the README, the copyright file and the changelog in
# /usr/share/doc/ti85-link-tools. cmake/package-stage.cmake adds those, and acts only when cpack
# installs, so a plain cmake --install is unchanged. No maintainer scripts: udev notices a new
# rule by itself.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ti85-link-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the Talvaro link tools authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "link tools for the TI-85 graphing calculator")
set(CPACK_PACKAGE_DESCRIPTION
    "Command-line programs that exchange variables with a TI-85 over a link\n"
    "cable (pullvar receives, pushvar sends, linkcheck tests the cable): TI's\n"
    "USB cable, TI's gray serial cable, or a two-wire cable on a parallel or\n"
    "serial port. catvar shows variable files as text and mkvar writes them\n"
    "from text; splitvar takes variables out of backups; pixdb and picvar\n"
    "convert pictures; vti85 is a virtual TI-85 for trying the programs\n"
    "without a calculator.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "TI-85 link tools maintainers <ti85-link-tools@talvaro.example>"
    CACHE STRING "The Debian package's maintainer, as Name <address>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # ti85-link-tools_<version>_<arch>.deb
# The dependencies (libusb-1.0, libpng, the C++ runtime) come from the binaries themselves.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# Folders 0755 whatever the umask of the person who packs.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Last of the install rules; it acts only when cpack installs.
set(CPACK_CUSTOM_INSTALL_VARIABLES TI85_DEBIAN_PACKAGE=ON)
install(CODE "set(ti85_source \"${PROJECT_SOURCE_DIR}\")
set(ti85_package ${CPACK_PACKAGE_NAME})
set(ti85_version ${CPACK_PACKAGE_VERSION})")
install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/package-stage.cmake)
include(CPack)
