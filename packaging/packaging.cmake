# Debian packages of this build tree (CPack's DEB generator): `zqoutput`, the
# loudspeaker as a hardened systemd service, and `zq-control`, the control's
# library with its console hosts zqctl and zqweb, the web console.
# `make package` (the target zq_packages) builds what they hold and writes
# them to build/<preset>/packages in seconds; nothing here runs as part of
# an ordinary build but the man pages.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)  # zq_packages builds only what it ships

set(ZQ_PACKAGE_MAINTAINER "zq developers <zq-devel@quorvanta.invalid>")
set(ZQ_PRIVATE_LIBDIR lib/zq)  # the control library: loaded by its hosts, not linked
set(zq_pkg "${CMAKE_CURRENT_LIST_DIR}")
set(zq_pkg_out "${CMAKE_BINARY_DIR}/packaging")

# Man pages from each program's --help (help2man).
find_program(ZQ_HELP2MAN help2man)
set(zq_man_pages)
if(ZQ_HELP2MAN AND TARGET zqoutput AND TARGET zqctl AND TARGET zqweb)
  foreach(program zqoutput zqctl zqweb)
    if(program STREQUAL zqoutput)
      set(summary "audio output of the zq loudspeaker system")
    elseif(program STREQUAL zqctl)
      set(summary "console host of the zq audio output control")
    else()
      set(summary "web console of the zq audio output control")
    endif()
    add_custom_command(OUTPUT "${zq_pkg_out}/${program}.1.gz"
      COMMAND "${ZQ_HELP2MAN}" --no-info --version-string=${PROJECT_VERSION}
              --name=${summary} --output=${zq_pkg_out}/${program}.1 $<TARGET_FILE:${program}>
      COMMAND gzip -9nf "${zq_pkg_out}/${program}.1"
      DEPENDS ${program}
      COMMENT "Man page of ${program}"
      VERBATIM)
    list(APPEND zq_man_pages "${zq_pkg_out}/${program}.1.gz")
  endforeach()
  add_custom_target(zq_man_pages ALL DEPENDS ${zq_man_pages})
else()
  message(STATUS "help2man not found: no man pages, no packages (scripts/install-deps installs it)")
endif()

# Each package's copyright and changelog, as Debian wants them.
foreach(package zqoutput zq-control)
  set(PACKAGE ${package})
  set(MAINTAINER "${ZQ_PACKAGE_MAINTAINER}")
  configure_file("${zq_pkg}/changelog.in" "${zq_pkg_out}/${package}/changelog" @ONLY)
  execute_process(COMMAND gzip -9nc "${zq_pkg_out}/${package}/changelog"
                  OUTPUT_FILE "${zq_pkg_out}/${package}/changelog.gz")
endforeach()

# The foundation (and the automation runtime) are shared libraries, one copy
# in a process that hosts the control: each package ships the ones its
# programs need in a folder of its own, found through the programs' RPATH, so
# that the two packages hold no file in common.
set(ZQ_OUTPUT_LIBDIR lib/zqoutput)

# zqoutput: the program, its unit and an example of an output's options.
set_target_properties(zqoutput PROPERTIES INSTALL_RPATH "$ORIGIN/../${ZQ_OUTPUT_LIBDIR}")
install(TARGETS zqoutput RUNTIME DESTINATION bin COMPONENT zqoutput)
install(TARGETS zq_base LIBRARY DESTINATION ${ZQ_OUTPUT_LIBDIR} COMPONENT zqoutput)
install(FILES "${zq_pkg}/zqoutput@.service" DESTINATION /lib/systemd/system COMPONENT zqoutput)
install(FILES "${zq_pkg}/example.conf" DESTINATION /etc/zq COMPONENT zqoutput)
# zq-control: the library in a folder of its own, zqctl and zqweb, which find
# it there, and the web console's page, where zqweb finds it.
if(TARGET zqctl AND TARGET zqweb)
  set_target_properties(zqctl zqweb PROPERTIES INSTALL_RPATH "$ORIGIN/../${ZQ_PRIVATE_LIBDIR}")
  set_target_properties(ZQAudioOutputController zq_com PROPERTIES INSTALL_RPATH "$ORIGIN")
  install(TARGETS ZQAudioOutputController zq_base zq_com LIBRARY DESTINATION ${ZQ_PRIVATE_LIBDIR}
          COMPONENT control)
  install(TARGETS zqctl zqweb RUNTIME DESTINATION bin COMPONENT control)
  install(DIRECTORY "${PROJECT_SOURCE_DIR}/apps/zqweb/www/" DESTINATION share/zq/www
          COMPONENT control)
endif()
foreach(component zqoutput control)
  set(package ${component})
  if(component STREQUAL control)
    set(package zq-control)
  endif()
  install(FILES "${zq_pkg}/copyright" "${zq_pkg_out}/${package}/changelog.gz"
          DESTINATION share/doc/${package} COMPONENT ${component})
endforeach()
foreach(page ${zq_man_pages})
  get_filename_component(name "${page}" NAME_WE)
  set(component control)
  if(name STREQUAL zqoutput)
    set(component zqoutput)
  endif()
  install(FILES "${page}" DESTINATION share/man/man1 COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zq)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ZQ_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL zqoutput control)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    "${CMAKE_BINARY_DIR}/src/base" "${CMAKE_BINARY_DIR}/src/com")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_ZQOUTPUT_PACKAGE_NAME zqoutput)
set(CPACK_DEBIAN_ZQOUTPUT_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_ZQOUTPUT_PACKAGE_CONTROL_EXTRA
    "${zq_pkg}/zqoutput/postinst;${zq_pkg}/zqoutput/prerm;${zq_pkg}/zqoutput/postrm;${zq_pkg}/zqoutput/conffiles")
set(CPACK_DEBIAN_ZQOUTPUT_DESCRIPTION "loudspeaker output of the zq surveillance audio system
zqoutput plays what an audio output controller tells it to (a network
stream of an audio access manager, a file, a capture device) into ALSA.
A systemd template unit runs one output per environment file under
/etc/zq, as an unprivileged user in the audio group.")
set(CPACK_DEBIAN_CONTROL_PACKAGE_NAME zq-control)
set(CPACK_DEBIAN_CONTROL_DESCRIPTION "audio output control of the zq surveillance audio system
The control library drives the loudspeakers of remote equipment and hosts
a local audio access manager; zqctl is its console host, which calls its
members from a script or a prompt and prints its events, and zqweb the
operator's web console, with push-to-talk from the browser.")
include(CPack)

# make package: what the packages hold, then CPack, into build/<preset>/packages.
if(TARGET zq_man_pages)
  add_custom_target(zq_packages
    COMMAND "${CMAKE_CPACK_COMMAND}" --config "${CMAKE_BINARY_DIR}/CPackConfig.cmake"
            -B "${CMAKE_BINARY_DIR}/packages"
    DEPENDS zqoutput zqctl zqweb ZQAudioOutputController zq_man_pages
    WORKING_DIRECTORY "${CMAKE_BINARY_DIR}"
    VERBATIM)
endif()
