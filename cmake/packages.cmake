# Debian packages, one per install component:
#   qzcmd-monitor       the console, the demo host, their manual pages and an
#                       example host file (component console)
#   mprobe              the mprobe tool, its manual page and bash completion
#                       (component mprobe)
#   libmedia-probe1     the shared library libmedia_probe.so.1 (component
#                       media_probe_shared)
#   libmedia-probe-dev  the static library, the shared library's development
#                       link, the header, pkg-config file, CMake package and
#                       manual page (component media_probe)
#   python3-media-probe the Python module and its type stub (component python)
# cpack -G DEB in the build folder writes them there. The Depends of the
# programs and of the shared library come from the shared libraries they link
# (dpkg-shlibdeps); the development package names the FFmpeg development
# packages that users of the static library link against, and the shared
# library of its own version.
set(CPACK_PACKAGE_NAME qzcmd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "qzcmd")
set(CPACK_PACKAGE_CONTACT "qzcmd developers <qzcmd@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "UDP operator console and media file prober")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)  # programs and the shared library; never a static library
set(CPACK_COMPONENTS_ALL console)
if(TARGET media_probe)
    list(APPEND CPACK_COMPONENTS_ALL mprobe media_probe media_probe_shared)
endif()
if(TARGET media_probe_python)
    list(APPEND CPACK_COMPONENTS_ALL python)
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_CONSOLE_PACKAGE_NAME ${QZ_CONSOLE_PACKAGE})
set(CPACK_DEBIAN_CONSOLE_PACKAGE_SECTION net)
set(CPACK_COMPONENT_CONSOLE_DESCRIPTION
    "Interactive UDP operator console\n"
    "monitor shows a menu of the local services named in a host file and sends\n"
    "each line the operator types to the chosen one as a UDP datagram, printing\n"
    "its reply. monitor-demo-host plays the hosts of a host file for trying it.")

set(CPACK_DEBIAN_MPROBE_PACKAGE_NAME mprobe)
set(CPACK_DEBIAN_MPROBE_PACKAGE_SECTION video)
set(CPACK_DEBIAN_MPROBE_PACKAGE_SUGGESTS bash-completion)
set(CPACK_COMPONENT_MPROBE_DESCRIPTION
    "Describes media files: container, streams, codec configuration, seek index\n"
    "mprobe prints the size, container, MIME type, duration and bit rate of\n"
    "media files and, per video and audio stream, the codec, geometry or\n"
    "sampling, rates, durations, configuration bytes and seek index, as text\n"
    "or JSON. FFmpeg's libraries do the demuxing.")

set(CPACK_DEBIAN_MEDIA_PROBE_PACKAGE_NAME libmedia-probe-dev)
set(CPACK_DEBIAN_MEDIA_PROBE_PACKAGE_SECTION libdevel)
# libstdc++-dev: media_probe_json is C++, and a C program links the runtime.
set(CPACK_DEBIAN_MEDIA_PROBE_PACKAGE_DEPENDS
    "libavformat-dev, libavcodec-dev, libavutil-dev, libstdc++-dev, pkgconf | pkg-config")
set(CPACK_COMPONENT_MEDIA_PROBE_DESCRIPTION
    "Static C library describing media files (development files)\n"
    "media_probe hands a program plain C records describing a media file:\n"
    "container, MIME class, duration, bit rate and, per video and audio stream,\n"
    "codec, geometry or sampling, rates, configuration bytes and seek index,\n"
    "and the same as JSON text.\n"
    "Found with pkg-config (media_probe) or CMake's find_package(media_probe).")

set(CPACK_DEBIAN_MEDIA_PROBE_SHARED_PACKAGE_NAME libmedia-probe1)
set(CPACK_DEBIAN_MEDIA_PROBE_SHARED_PACKAGE_SECTION libs)
# Its shlibs file tells the dpkg-shlibdeps of programs linking the library
# that this version or a later one provides it. (CPack adds the ldconfig calls
# itself; its own shlibs generation would apply to every package, the Python
# module's too, which has no SONAME.)
set(shlibs ${CMAKE_BINARY_DIR}/packaging/libmedia-probe1/shlibs)
file(WRITE ${shlibs}
    "libmedia_probe ${PROJECT_VERSION_MAJOR} libmedia-probe1 (>= ${PROJECT_VERSION})\n")
set(CPACK_DEBIAN_MEDIA_PROBE_SHARED_PACKAGE_CONTROL_EXTRA ${shlibs})
set(CPACK_COMPONENT_MEDIA_PROBE_SHARED_DESCRIPTION
    "C library describing media files (shared library)\n"
    "media_probe hands a program plain C records describing a media file:\n"
    "container, MIME class, duration, bit rate and, per stream, codec,\n"
    "geometry or sampling, rates, configuration bytes and seek index.\n"
    "This package holds libmedia_probe.so.1, for programs linking it and for\n"
    "languages that load C libraries at run time.")
# The development package holds the link to it: the same version goes with it.
string(PREPEND CPACK_DEBIAN_MEDIA_PROBE_PACKAGE_DEPENDS
    "libmedia-probe1 (= ${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}), ")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-media-probe)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
# The module is built for one interpreter version; the library it links
# brings the FFmpeg dependencies through shlibdeps.
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "${QZ_PYTHON_DEPENDS}")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
    "Python module describing media files\n"
    "media_probe.probe(path) returns the description of a media file as a dict\n"
    "(container, streams, codec parameters, seek index), with the keys of\n"
    "mprobe --json; probe_many() describes many files on native threads.")

include(CPack)
