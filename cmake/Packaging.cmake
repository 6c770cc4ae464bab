# What is installed beside the programs, and the Debian package (cpack -G DEB) made of it all.

# "programs": every executable the project installs, and nothing else (no tests, no benchmarks),
# so that a build of this target is all that 'cmake --install' needs. Every executable under src/
# is an installed program.
function(tovi_collect_programs directory result)
  get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
  set(found)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      list(APPEND found ${target})
    endif()
  endforeach()
  get_property(children DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
  foreach(child ${children})
    tovi_collect_programs(${child} more)
    list(APPEND found ${more})
  endforeach()
  set(${result} ${found} PARENT_SCOPE)
endfunction()
tovi_collect_programs(${PROJECT_SOURCE_DIR}/src TOVI_PROGRAMS)
add_custom_target(programs DEPENDS ${TOVI_PROGRAMS} man)

# The machine-readable description of the job, result and progress files.
file(GLOB TOVI_SCHEMAS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/schema/*.schema.json)
install(FILES ${TOVI_SCHEMAS} DESTINATION ${CMAKE_INSTALL_DATADIR}/ToviHelper/schema)

# Watch mode under the user's service manager: the path unit starts the service when a job file
# appears in the folder that the instance name gives. The service names the helper by its
# installed path, so the units are written at install time, for the prefix installed to.
foreach(unit tovihelper-watch@.path tovihelper-watch@.service)
  install(CODE "
    set(CMAKE_INSTALL_FULL_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/systemd/${unit}.in\"
                   \"${CMAKE_BINARY_DIR}/systemd/${unit}\" @ONLY)
    file(INSTALL \"${CMAKE_BINARY_DIR}/systemd/${unit}\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/user\"
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)")
endforeach()

# The licences (the project's and those of the bundled whisper.cpp) in Debian's machine-readable
# copyright format, and the changelog, where Debian keeps them.
set(TOVI_PACKAGE_NAME tovihelper)
set(TOVI_PACKAGE_MAINTAINER "ToviHelper developers <tovihelper@example.org>" CACHE STRING
    "The package's maintainer, as Debian writes it: Name <address>")
set(TOVI_PACKAGE_HOMEPAGE "https://example.org/tovihelper" CACHE STRING
    "The project's home page, for the package's Homepage field")
# The packaging's own revision of this upstream version, the part of the Debian version after "-".
set(TOVI_PACKAGE_REVISION 1 CACHE STRING "The Debian revision of the package")
set(TOVI_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${TOVI_PACKAGE_NAME})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${TOVI_DOCDIR})
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9nkf changelog
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/packaging
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_dependencies(programs changelog)
# With a Debian revision the package is not a native one: its changelog is changelog.Debian.gz.
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${TOVI_DOCDIR} RENAME changelog.Debian.gz)

# cpack -G DEB in a build configured with -DCMAKE_INSTALL_PREFIX=/usr (tools/package does it all).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TOVI_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "ToviHelper developers")
set(CPACK_PACKAGE_CONTACT "${TOVI_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "transcription, text measurement and clipboard helper for captioning")
set(CPACK_PACKAGE_DESCRIPTION [=[ToviHelper does the native work for a captioning panel: it transcribes speech
with the bundled whisper.cpp (fetching and verifying the speech model when
needed) and answers with the transcript and a loudness envelope; it measures
text in the installed fonts; and it reads and writes a video editor's
clipboard formats. The panel talks to it through JSON job and result files,
in job mode, in watch mode (a systemd user unit is included) or as documents
that the panel hands over.]=])
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TOVI_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TOVI_PACKAGE_REVISION})
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${TOVI_PACKAGE_HOMEPAGE}")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries come from dpkg-shlibdeps; the tools that the helper starts by path (/usr/bin/curl,
# /usr/bin/shasum) are no libraries, so they are named here. The Vulkan loader (libvulkan1), which
# ggml's Vulkan backend links and whisper-cli loads only at run time, comes from dpkg-shlibdeps too,
# as it reads every library of the package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${TOVI_RESOURCE_DIR}/whisper)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "curl, perl")
# The fontconfig package keeps the font caches current as fonts come and go (its trigger runs
# fc-cache); without it every measuring helper scans the fonts afresh.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fontconfig)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
