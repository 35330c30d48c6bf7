# libmedia_probe.so.1, the shared library, for programs that load C at run
# time (Python's ctypes, .NET's P/Invoke, Node's ffi) and those that would
# rather link it than the static library. Included by CMakeLists.txt once the
# static library and config_dir are defined.
#
# It is the static library's own objects linked again: the same sources,
# compiled once (position independent) with the same options, so that a
# source or an option given to media_probe is given to both. It exports exactly what media_probe.h declares (the version
# script is written from the header at build time; media_shared_test checks
# it against a compiler's reading of the header) and needs the FFmpeg
# libraries, never re-exporting them. The SONAME carries the major version.
#
# Install components: media_probe_shared holds the runtime files (the
# library and its SONAME link: the Debian package libmedia-probe1); the
# development link libmedia_probe.so and the CMake target media_probe::shared
# go with the development files (component media_probe).
set(MEDIA_PROBE_EXPORTS ${CMAKE_CURRENT_BINARY_DIR}/media_probe.map)
add_custom_command(OUTPUT ${MEDIA_PROBE_EXPORTS}
    COMMAND ${CMAKE_COMMAND} -DHEADER=${CMAKE_CURRENT_SOURCE_DIR}/media_probe.h
        -DOUTPUT=${MEDIA_PROBE_EXPORTS} -P ${CMAKE_CURRENT_LIST_DIR}/media_probe_exports.cmake
    DEPENDS media_probe.h ${CMAKE_CURRENT_LIST_DIR}/media_probe_exports.cmake
    COMMENT "Listing the symbols media_probe.h declares")

add_library(media_probe_shared SHARED $<TARGET_OBJECTS:media_probe> ${MEDIA_PROBE_EXPORTS})
add_library(media_probe::shared ALIAS media_probe_shared)
set_target_properties(media_probe_shared PROPERTIES OUTPUT_NAME media_probe EXPORT_NAME shared
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    LINK_DEPENDS ${MEDIA_PROBE_EXPORTS})
target_include_directories(media_probe_shared PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_link_libraries(media_probe_shared PRIVATE PkgConfig::MEDIA_PROBE_FFMPEG)
# A header declaration the library does not define fails the link. Only the
# libraries it calls are needed, whatever the compiler driver adds.
target_link_options(media_probe_shared PRIVATE LINKER:--version-script=${MEDIA_PROBE_EXPORTS}
    LINKER:--no-undefined-version LINKER:--as-needed)

install(TARGETS media_probe_shared EXPORT media_probeSharedTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT media_probe_shared
    NAMELINK_COMPONENT media_probe)
install(EXPORT media_probeSharedTargets NAMESPACE media_probe:: DESTINATION ${config_dir}
    COMPONENT media_probe)
# media_probeConfig.cmake defines media_probe::shared when this file is
# installed beside the development files.
set(MEDIA_PROBE_SHARED_FILE
    ${CMAKE_INSTALL_LIBDIR}/${CMAKE_SHARED_LIBRARY_PREFIX}media_probe${CMAKE_SHARED_LIBRARY_SUFFIX}.${PROJECT_VERSION})
