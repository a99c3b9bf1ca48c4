# What `cmake --install` puts where, and the Debian package CPack builds from it.
#
# Installed: the programs, the example warriors, the manual pages, the README
# and the licence. Test and benchmark programs are never installed. The
# Debian package adds what Debian's policy asks of every package (its
# copyright file and changelog) in a component of its own, which a plain
# `cmake --install` leaves out.
include(GNUInstallDirs)

set(TONEWELL_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/tonewell)

install(TARGETS tonewell RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
if(TARGET tonewell-asm)
  install(TARGETS tonewell-asm RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()

file(GLOB tonewell_examples CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/examples/*.red)
install(FILES ${tonewell_examples} DESTINATION ${CMAKE_INSTALL_DATADIR}/tonewell/examples
        COMPONENT runtime)
file(GLOB tonewell_source_examples CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/examples/source/*.red)
install(FILES ${tonewell_source_examples}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tonewell/examples/source COMPONENT runtime)
install(FILES README.md DESTINATION ${TONEWELL_DOC_DIR} COMPONENT runtime)
# The licence as it stands; the Debian package carries it as its copyright file instead.
install(FILES LICENSE DESTINATION ${TONEWELL_DOC_DIR} COMPONENT license)

# Manual pages: doc/NAME.1.in with the version and the install paths filled
# in, compressed as man expects them on Debian.
find_program(GZIP_PROGRAM gzip REQUIRED)
file(GLOB tonewell_man_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/doc/*.1.in)
set(tonewell_man_pages)
foreach(source IN LISTS tonewell_man_sources)
  get_filename_component(page ${source} NAME_WLE)
  configure_file(${source} ${CMAKE_BINARY_DIR}/doc/${page} @ONLY)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/doc/${page}.gz
    COMMAND ${GZIP_PROGRAM} -9nc ${CMAKE_BINARY_DIR}/doc/${page} > ${CMAKE_BINARY_DIR}/doc/${page}.gz
    DEPENDS ${CMAKE_BINARY_DIR}/doc/${page}
    VERBATIM)
  list(APPEND tonewell_man_pages ${CMAKE_BINARY_DIR}/doc/${page}.gz)
endforeach()
add_custom_target(manpages ALL DEPENDS ${tonewell_man_pages})
install(FILES ${tonewell_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)

# Debian's copyright file (the licence in Debian's format) and changelog.
file(READ ${CMAKE_SOURCE_DIR}/LICENSE tonewell_license)
string(REGEX REPLACE "\n$" "" tonewell_license "${tonewell_license}")
string(REGEX REPLACE "\n\n" "\n.\n" tonewell_license "${tonewell_license}")
string(REGEX REPLACE "\n" "\n " TONEWELL_LICENSE_BODY " ${tonewell_license}")
configure_file(${CMAKE_SOURCE_DIR}/packaging/copyright.in ${CMAKE_BINARY_DIR}/packaging/copyright
               @ONLY)
string(TIMESTAMP TONEWELL_RELEASE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog
               @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND ${GZIP_PROGRAM} -9nc ${CMAKE_BINARY_DIR}/packaging/changelog >
          ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(debian-docs ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${TONEWELL_DOC_DIR} COMPONENT debian EXCLUDE_FROM_ALL)

# The Debian package: `cpack -G DEB` in the build tree (make package).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tonewell)
set(CPACK_PACKAGE_VENDOR "The Tonewell team")
set(CPACK_PACKAGE_CONTACT "The Tonewell team <team@tonewell.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "hear a Core War battle, one tone per executed instruction")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Tonewell loads two Redcode warriors, runs one ICWS'94 battle between them
(core of 8000 cells, P-space, at most 80000 cycles) and, before every
instruction takes effect, plays a short tone synthesized from that
instruction's bits. It plays on PipeWire, on the desktop's sound server, on
ALSA, or records the battle into a WAV file.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY tonewell)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The sound systems' client libraries are loaded at run time, when their
# output is chosen (platform/ClientLibrary.h), so dpkg-shlibdeps does not see
# them. The program runs without them (null, null:fast, wav:); each output
# needs its own, so they are recommended, and a missing one is reported by
# the output that needs it, naming the package:
#   pipewire (and default on PipeWire): libpipewire-0.3-0, and
#     libpipewire-0.3-modules for its protocol;
#   pulse (and default on a sound server): libpulse0;
#   alsa (and default otherwise): libasound2, with libasound2-plugins for
#     ALSA's PCMs that reach a sound server.
# The same holds for the resampler of the wave library's format conversion,
# libsoxr0, loaded when a conversion first changes the rate (a battle never
# does); without it such a conversion fails, said once naming the package.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "libpipewire-0.3-0, libpipewire-0.3-modules, libpulse0, libasound2, libasound2-plugins, libsoxr0")
# One package holding both components.
set(CPACK_COMPONENTS_ALL runtime debian)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
include(CPack)
