# The installation of what is not a target, and the Debian packages (cpack -G
# DEB), two from one build:
#   velmora-cli  component "cli": velmora-cli and velmora-sim, their man pages
#                and shell completions, the boot files folder; no Qt
#   velmora      component "desktop": the desktop application, its desktop
#                entry, MIME type, icons and man page; depends on velmora-cli,
#                whose boot files folder it reads
# The top level puts each source folder's install rules into its component.
# Build the packages with CMAKE_INSTALL_PREFIX=/usr so the boot files folder
# compiled into the programs is the one the package installs.

set(VELMORA_PACKAGE_MAINTAINER "Velmora developers <velmora@velmora.dev>"
    CACHE STRING "Maintainer field of the Debian packages")

# The packages' version is the changelog's latest entry: the two must agree.
set(packaging_dir ${PROJECT_SOURCE_DIR}/packaging)
file(STRINGS ${packaging_dir}/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^velmora \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog begins with \"${changelog_head}\": its latest "
                        "entry must be for version ${PROJECT_VERSION}")
endif()

# Man pages, changelog: compressed at the highest level, without a name or a
# time stamp in the header, so the same sources give the same package.
find_program(VELMORA_GZIP gzip REQUIRED)
set(compressed_dir ${CMAKE_BINARY_DIR}/compressed)
file(MAKE_DIRECTORY ${compressed_dir})
function(velmora_compressed source name output)
    set(copy ${compressed_dir}/${name})
    add_custom_command(
        OUTPUT ${copy}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
        COMMAND ${VELMORA_GZIP} -9nf ${copy}
        DEPENDS ${source}
        VERBATIM)
    set(${output} ${copy}.gz PARENT_SCOPE)
endfunction()

set(cli_man_pages velmora-cli.1)
if(VELMORA_SIM)
    list(APPEND cli_man_pages velmora-sim.1)
endif()
set(compressed_files)
foreach(page IN LISTS cli_man_pages)
    velmora_compressed(${PROJECT_SOURCE_DIR}/man/${page} ${page} compressed)
    install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
    list(APPEND compressed_files ${compressed})
endforeach()
if(VELMORA_GUI)
    velmora_compressed(${PROJECT_SOURCE_DIR}/man/velmora.1 velmora.1 compressed)
    install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT desktop)
    list(APPEND compressed_files ${compressed})
endif()
# A package built by Debian from its own sources installs its changelog as
# changelog.gz.
velmora_compressed(${packaging_dir}/changelog changelog compressed_changelog)
list(APPEND compressed_files ${compressed_changelog})
add_custom_target(velmora_compressed_docs ALL DEPENDS ${compressed_files})

# Each package's copyright and changelog, in its own documentation folder.
set(packages cli velmora-cli)
if(VELMORA_GUI)
    list(APPEND packages desktop velmora)
endif()
while(packages)
    list(POP_FRONT packages component package)
    install(FILES ${packaging_dir}/copyright ${compressed_changelog}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endwhile()

# The boot files folder: 3062f.bin and PreFlash.bin come with the boards, and
# a stand-in must never reach a real chip. The package gives the folder a
# README that says what belongs in it, so the folder is there for them, owned
# by the package, and what an operator puts into it stays when the package goes.
install(FILES ${packaging_dir}/boot-files-README DESTINATION ${CMAKE_INSTALL_DATADIR}/brenlow
        RENAME README COMPONENT cli)

# Shell completions of velmora-cli: the build writes them from the program's
# own options into ${CMAKE_BINARY_DIR}/completions (src/cli); each is
# installed when it is there.
# Only the files that are there are installed, so that no empty folder is.
set(completions_dir ${CMAKE_BINARY_DIR}/completions)
set(datadir ${CMAKE_INSTALL_DATADIR})
install(CODE "
    foreach(completion
            \"velmora-cli.bash;${datadir}/bash-completion/completions;velmora-cli\"
            \"velmora-cli.zsh;${datadir}/zsh/vendor-completions;_velmora-cli\"
            \"velmora-cli.fish;${datadir}/fish/vendor_completions.d;velmora-cli.fish\")
        list(GET completion 0 file)
        list(GET completion 1 folder)
        list(GET completion 2 name)
        if(EXISTS \"${completions_dir}/\${file}\")
            file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/\${folder}\" TYPE FILE
                 RENAME \"\${name}\" FILES \"${completions_dir}/\${file}\")
        endif()
    endforeach()" COMPONENT cli)

set(CPACK_GENERATOR "DEB")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli)
if(VELMORA_GUI)
    list(APPEND CPACK_COMPONENTS_ALL desktop)
endif()
set(CPACK_PACKAGE_NAME "velmora")
set(CPACK_PACKAGE_VENDOR "Velmora developers")
set(CPACK_PACKAGE_CONTACT "${VELMORA_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELMORA_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT") # velmora-cli_VERSION_ARCH.deb, velmora_VERSION_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_SECTION "electronics")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# Folders as Debian has them, whatever the umask of the build.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_CLI_PACKAGE_NAME "velmora-cli")
set(CPACK_DEBIAN_CLI_PACKAGE_SOURCE "velmora")
# The history loads SQLite when it opens a file, so the shared-library scan
# cannot see it: named here, the scan's dependencies added to it.
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS "libsqlite3-0")
# Each package's description, its first line the synopsis; no summary common
# to both is put before it.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
string(CONCAT CPACK_DEBIAN_CLI_DESCRIPTION
    "flash programmer for H8/3062F boards, command line\n"
    "Writes Motorola S-record programs into the on-chip flash of H8/3062F boards\n"
    "over RS-232, through the board's firmware or the chip's boot mode.\n"
    "velmora-cli converts programs, lists serial ports and programs one board or\n"
    "many at once, with run reports and wire transcripts; velmora-sim is a\n"
    "simulated board on a pseudo-terminal. Needs no graphical libraries.")

set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME "velmora")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "velmora-cli (= ${PROJECT_VERSION})")
string(CONCAT CPACK_DEBIAN_DESKTOP_DESCRIPTION
    "flash programmer for H8/3062F boards, desktop application\n"
    "Writes Motorola S-record programs into the on-chip flash of H8/3062F boards\n"
    "over RS-232, through the board's firmware or the chip's boot mode: a Qt\n"
    "window with its menu, toolbar, progress dialogs and run log, a menu entry\n"
    "and the .mot file type. It reads the boot files folder of velmora-cli.")
include(CPack)
