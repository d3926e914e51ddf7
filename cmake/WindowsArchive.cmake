# The Windows build's archive, velmora-cli-<version>-windows-x64.zip: one
# folder of that name with the program, the README and the licence (a .txt,
# which Windows opens).
set(archive_name velmora-cli-${PROJECT_VERSION}-windows-x64)
set(archive_stage ${CMAKE_BINARY_DIR}/archive)
set(archive ${CMAKE_BINARY_DIR}/${archive_name}.zip)
set(folder ${archive_stage}/${archive_name})
set(strip_program)
if(CMAKE_STRIP)
    set(strip_program COMMAND ${CMAKE_STRIP} ${folder}/velmora-cli.exe)
endif()
add_custom_command(
    OUTPUT ${archive}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${folder} ${archive}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:velmora-cli> ${folder}/velmora-cli.exe
    ${strip_program}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/README.md ${folder}/README.md
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/LICENSE ${folder}/LICENSE.txt
    COMMAND ${CMAKE_COMMAND} -E chdir ${archive_stage}
            ${CMAKE_COMMAND} -E tar cf ${archive} --format=zip ${archive_name}
    DEPENDS velmora-cli ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
    COMMENT "Packing ${archive_name}.zip"
    VERBATIM)
add_custom_target(velmora_windows_archive ALL DEPENDS ${archive})
