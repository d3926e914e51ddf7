# Installation of what is not a target, and the Debian package (cpack -G DEB).
# Build the package with CMAKE_INSTALL_PREFIX=/usr so the boot-files folder
# compiled into the programs is the one the package installs.

# Man pages of the command-line programs.
install(FILES ${PROJECT_SOURCE_DIR}/man/velmora-cli.1 ${PROJECT_SOURCE_DIR}/man/velmora-sim.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The boot-files folder ships empty: 3062f.bin and PreFlash.bin come with the
# boards, and a stand-in must never reach a real chip.
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_DATADIR}/brenlow)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "velmora")
set(CPACK_PACKAGE_VENDOR "Velmora")
set(CPACK_PACKAGE_CONTACT "Velmora developers <velmora@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT") # velmora_VERSION_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_SECTION "electronics")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Flash programmer for H8/3062F boards\n"
    "Writes Motorola S-record programs into the on-chip flash of H8/3062F boards\n"
    "over RS-232: a desktop application, the velmora-cli command-line tool (one\n"
    "board or many at once) and velmora-sim, a simulated board.")
set(CPACK_STRIP_FILES ON)
include(CPack)
