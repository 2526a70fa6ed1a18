# What "cmake --install" puts where (GNUInstallDirs), and the packages CPack
# makes of it: a Debian package of the Linux build with its systemd service,
# a zip of each Windows build's programs.
include(GNUInstallDirs)

set(CHUNK_PROGRAMS chunkstore chunkstop chunkpack)
foreach(src ${TOOL_SOURCES})
  get_filename_component(name ${src} NAME_WE)
  list(APPEND CHUNK_PROGRAMS ${name})
endforeach()

# The packages carry the programs without their debugging information.
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The zip holds the programs and a short text, side by side.
  install(TARGETS ${CHUNK_PROGRAMS} RUNTIME DESTINATION .)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CHUNK_WINDOWS_WIDTH "x86-64")
  else()
    set(CHUNK_WINDOWS_WIDTH "i686")
  endif()
  configure_file(packaging/windows-README.txt ${CMAKE_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME "windows-${CHUNK_WINDOWS_WIDTH}")
  set(CPACK_PACKAGE_NAME chunkstore)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  include(CPack)
  return()
endif()

install(TARGETS ${CHUNK_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Man pages: each made from its program's --help and --version by help2man
# (the text lives once, in the program), when help2man is there and the
# programs run on this machine.
find_program(HELP2MAN help2man)
if(HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
  set(man_pages)
  foreach(p ${CHUNK_PROGRAMS})
    set(page ${CMAKE_BINARY_DIR}/man/${p}.1)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${HELP2MAN} -DPROGRAM=$<TARGET_FILE:${p}>
              -DPAGE=${page} -P ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake
      DEPENDS ${p} ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake
      COMMENT "man page ${p}.1 from ${p} --help" VERBATIM)
    list(APPEND man_pages ${page})
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "no man pages: help2man not found, or the programs do not run here")
endif()

# Bash completion: one file that reads each program's --help, under every
# program's name (bash-completion loads completions/NAME for NAME).
foreach(p ${CHUNK_PROGRAMS})
  install(FILES packaging/chunk-completion.bash
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${p})
endforeach()

# The systemd service, naming the programs where they are installed.
set(CHUNK_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit goes, under the installation prefix")
configure_file(packaging/chunkstore.service.in ${CMAKE_BINARY_DIR}/chunkstore.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/chunkstore.service DESTINATION ${CHUNK_SYSTEMD_UNIT_DIR})

# The Debian package: dependencies from the programs' libraries
# (dpkg-shlibdeps), the maintainer scripts for the user, the store folder and
# the service.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME chunkstore)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "chunkstore developers <chunkstore@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "deduplicating chunk store for whole files, with its server as a service")
set(CPACK_PACKAGE_DESCRIPTION "chunkstore cuts files into content-defined chunks and stores each distinct
chunk once; chunksend stores files through it, chunkcat restores them, and
chunkpack, chunkunpack, chunkcopy, chunkinfo and chunkcheck work on its
stores and record lists; chunkmirror publishes a store folder for any web
server and keeps mirrors of it current, over HTTP through libcurl. The server runs as the systemd service chunkstore,
on the loopback address, with its store in /var/lib/chunkstore.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
