# The Windows build: the library and velmora-cli, cross-compiled with MinGW-w64
# (cmake/mingw-w64-x86_64.cmake). Included by the top level when WIN32.

# Windows 7 and later; no min/max macros from windows.h.
add_compile_definitions(_WIN32_WINNT=0x0601 NOMINMAX)

# The header-only libraries (Asio, CLI11, nlohmann-json) are the host's Debian packages.
# Only they are staged into the build folder, so the compiler never sees the
# host's C library headers beside MinGW's.
set(VELMORA_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${VELMORA_HOST_HEADERS}/include)
foreach(header asio asio.hpp CLI nlohmann)
    if(NOT EXISTS /usr/include/${header})
        message(FATAL_ERROR "/usr/include/${header} is missing: install libasio-dev, libcli11-dev and nlohmann-json3-dev")
    endif()
    file(CREATE_LINK /usr/include/${header} ${VELMORA_HOST_HEADERS}/include/${header} SYMBOLIC)
endforeach()
include_directories(SYSTEM ${VELMORA_HOST_HEADERS}/include)
# Their package files find the headers beside themselves: ../../../include.
foreach(package CLI11 nlohmann_json)
    file(COPY /usr/share/cmake/${package} DESTINATION ${VELMORA_HOST_HEADERS}/share/cmake)
    set(${package}_DIR ${VELMORA_HOST_HEADERS}/share/cmake/${package}
        CACHE PATH "${package} for the Windows build" FORCE)
endforeach()
