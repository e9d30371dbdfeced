# The Debian packages, made by CPack from one shared build configured with
# -DDOVREL_DEBIAN_PACKAGE=ON (scripts/package.sh sets it up with Debian's
# build flags). One package per install component:
#
#   tool     dovrel               the program, its manual page, the schemas
#   runtime  libvantrel-pdb0.1    the shared library, named after its SONAME
#   dev      libvantrel-pdb-dev   headers, static library, the .so link,
#                                 CMake package, pkg-config file
#   python   python3-vantrel-pdb  the Python module, when the tree builds one
#
# Every package carries its own copyright file and changelog.Debian.gz under
# /usr/share/doc/<package>/.
if(NOT BUILD_SHARED_LIBS)
  message(FATAL_ERROR "The Debian packages need the shared library: configure with -DBUILD_SHARED_LIBS=ON")
endif()
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  # GNUInstallDirs picks the multiarch library directory only under /usr.
  message(FATAL_ERROR "The Debian packages install under /usr: configure with -DCMAKE_INSTALL_PREFIX=/usr")
endif()
include(GNUInstallDirs)

set(DOVREL_DEB_RELEASE 1)
set(DOVREL_DEB_VERSION ${PROJECT_VERSION}-${DOVREL_DEB_RELEASE})
set(DOVREL_DEB_MAINTAINER "dovrel developers <dovrel@example.org>")
set(DOVREL_DEB_DIR ${PROJECT_SOURCE_DIR}/packaging/debian)

# The changelog's top entry must be this version, so that a version bump
# without a changelog entry fails here rather than in lintian.
file(STRINGS ${DOVREL_DEB_DIR}/changelog DOVREL_DEB_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT DOVREL_DEB_CHANGELOG_TOP MATCHES "^dovrel \\(${DOVREL_DEB_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog starts with '${DOVREL_DEB_CHANGELOG_TOP}', not version ${DOVREL_DEB_VERSION}")
endif()
set(DOVREL_DEB_CHANGELOG_GZ ${PROJECT_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(OUTPUT ${DOVREL_DEB_CHANGELOG_GZ}
  COMMAND gzip -n -9 -c ${DOVREL_DEB_DIR}/changelog > ${DOVREL_DEB_CHANGELOG_GZ}
  DEPENDS ${DOVREL_DEB_DIR}/changelog VERBATIM)
add_custom_target(dovrel_deb_changelog ALL DEPENDS ${DOVREL_DEB_CHANGELOG_GZ})

get_target_property(DOVREL_DEB_SOVERSION vantrel_pdb SOVERSION)
set(DOVREL_DEB_RUNTIME_NAME libvantrel-pdb${DOVREL_DEB_SOVERSION})
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME dovrel)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${DOVREL_DEB_RUNTIME_NAME})
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvantrel-pdb-dev)
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-vantrel-pdb)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)

# The first line of each is the synopsis, the rest the extended description
# (lines of at most 79 characters, an empty line between paragraphs).
set(DOVREL_DEB_LIBRARY_NOTE "vantrel_pdb is a C++ library for track-library page databases: a
bounds-checked reader, a structure check, and an editor that appends rows
to a page image in place.")
set(DOVREL_DEB_FORMAT_NOTE "The database is one file of 4096-byte pages holding tracks, artists,
albums, genres, keys, labels, artwork, a playlist tree and a play history,
as DJ software keeps it on a music stick.")
set(CPACK_DEBIAN_TOOL_DESCRIPTION "read, build and patch track-library page databases
dovrel takes one JSON request on standard input: read a database and print
its report, build a new database from tracks and playlists, or keep some
rows of one and rewrite its tempos. It prints one line of compact JSON, or
one line of error text, and replaces an output file only when the new one
is complete.

${DOVREL_DEB_FORMAT_NOTE}

The JSON Schemas of the request and the report are in /usr/share/dovrel.")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "reader and editor for track-library page databases
${DOVREL_DEB_LIBRARY_NOTE}

${DOVREL_DEB_FORMAT_NOTE}

This package contains the shared library.")
set(CPACK_DEBIAN_DEV_DESCRIPTION "reader and editor for track-library page databases (development files)
${DOVREL_DEB_LIBRARY_NOTE}

This package contains the C++23 headers, the static library, the link to
the shared library, a CMake package (find_package(vantrel_pdb CONFIG)) and
a pkg-config file.")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "reader and editor for track-library page databases (Python 3)
${DOVREL_DEB_LIBRARY_NOTE}

This package contains the Python 3 module.")

set(DOVREL_DEB_COMPONENTS tool runtime dev)
get_cmake_property(DOVREL_INSTALL_COMPONENTS COMPONENTS)
if("python" IN_LIST DOVREL_INSTALL_COMPONENTS)
  list(APPEND DOVREL_DEB_COMPONENTS python)
  # The extension is built for one interpreter's ABI (its file name says
  # which): the package needs that version of python3, as dh-python would
  # write it. CPack adds the shared libraries' dependencies to these.
  string(REPLACE "." ";" version_parts ${VANTREL_PDB_PYTHON_VERSION})
  list(GET version_parts 0 major)
  list(GET version_parts 1 minor)
  math(EXPR next_minor "${minor} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${major}.${minor}~), python3 (<< ${major}.${next_minor})")
endif()
# The packages are not uploaded to Debian, so their first changelog entry
# closes no ITP bug; each package says so to lintian.
foreach(component IN LISTS DOVREL_DEB_COMPONENTS)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES ${DOVREL_DEB_DIR}/copyright ${DOVREL_DEB_CHANGELOG_GZ}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  file(WRITE ${PROJECT_BINARY_DIR}/lintian-overrides/${package}
    "# Built from its own tree, not uploaded to Debian: there is no ITP bug to close.\n"
    "${package}: initial-upload-closes-no-bugs\n")
  install(FILES ${PROJECT_BINARY_DIR}/lintian-overrides/${package}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT ${component})
endforeach()

# The tool and the module use the shared library (dpkg-shlibdeps finds
# the system libraries; the library of this build is a component
# dependency, at exactly this version). The -dev package needs the library
# its .so link points to.
set(CPACK_COMPONENT_TOOL_DEPENDS runtime)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/vantrel-pdb)
# The runtime package's shlibs file and ldconfig trigger (the post-build
# hook drops CPack's postinst and postrm, which would call ldconfig again).
# CPack applies the shlibs setting to every package: for the Python module,
# which has no SONAME, it prints a developer warning and leaves it out, as
# it should.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${DOVREL_DEB_DIR}/triggers)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${DOVREL_DEB_COMPONENTS})
set(CPACK_PACKAGE_NAME dovrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${DOVREL_DEB_RELEASE})
set(CPACK_PACKAGE_CONTACT ${DOVREL_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Stripped by the hook as Debian strips (static library included).
set(CPACK_STRIP_FILES OFF)
set(CPACK_DOVREL_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebianFinish.cmake)
include(CPack)
