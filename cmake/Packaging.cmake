# Installation layout and the Debian package. Included after every target is defined, so the
# desktop program's files (its binary, help, desktop entry, icons and man page) are installed
# only when the build has the `quorvin` target.
include(GNUInstallDirs)

set(QUORVIN_RESOURCES ${PROJECT_SOURCE_DIR}/resources)
set(QUORVIN_HAS_GUI OFF)
if(TARGET quorvin)
  set(QUORVIN_HAS_GUI ON)
endif()

# The window opens its user guide from <build>/app/help first, so a build tree works without
# installing; an installed program finds it in <prefix>/share/quorvin/help.
configure_file(${QUORVIN_RESOURCES}/help/quorvin-help.html
  ${PROJECT_BINARY_DIR}/app/help/quorvin-help.html COPYONLY)

# Man pages carry the project version and are installed compressed, as Debian expects.
set(man_pages quorvin-convert)
if(QUORVIN_HAS_GUI)
  list(APPEND man_pages quorvin)
endif()
set(man_outputs)
foreach(page ${man_pages})
  configure_file(${QUORVIN_RESOURCES}/man/${page}.1.in ${PROJECT_BINARY_DIR}/man/${page}.1 @ONLY)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.1.gz
    COMMAND gzip -9 -n -k -f ${page}.1
    DEPENDS ${PROJECT_BINARY_DIR}/man/${page}.1
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/man
    VERBATIM)
  list(APPEND man_outputs ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
  install(FILES ${PROJECT_BINARY_DIR}/man/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
add_custom_target(quorvin_man_pages ALL DEPENDS ${man_outputs})

install(TARGETS quorvin-convert RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(QUORVIN_HAS_GUI)
  install(TARGETS quorvin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/app/help/quorvin-help.html
    DESTINATION ${CMAKE_INSTALL_DATADIR}/quorvin/help)
  install(FILES ${QUORVIN_RESOURCES}/quorvin.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${QUORVIN_RESOURCES}/icons/quorvin.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

  # Fixed-size icons for menus and docks that do not draw SVG, rendered from the one drawing.
  find_program(RSVG_CONVERT rsvg-convert)
  if(RSVG_CONVERT)
    set(icon_outputs)
    foreach(size 48 128)
      set(png ${PROJECT_BINARY_DIR}/icons/${size}x${size}/quorvin.png)
      add_custom_command(OUTPUT ${png}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/icons/${size}x${size}
        COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${QUORVIN_RESOURCES}/icons/quorvin.svg
        DEPENDS ${QUORVIN_RESOURCES}/icons/quorvin.svg
        VERBATIM)
      list(APPEND icon_outputs ${png})
      install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
    endforeach()
    add_custom_target(quorvin_icons ALL DEPENDS ${icon_outputs})
  else()
    message(WARNING "rsvg-convert not found (package librsvg2-bin): only the scalable icon is installed")
  endif()
endif()

# The installed tree: programs, man pages and, with the desktop program, its desktop entry,
# icons and help, checked in a scratch DESTDIR.
if(QUORVIN_TESTS)
  add_test(NAME InstalledTree
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/install_check.sh ${PROJECT_BINARY_DIR}
      ${PROJECT_SOURCE_DIR} ${PROJECT_VERSION} ${QUORVIN_HAS_GUI})
  set_tests_properties(InstalledTree PROPERTIES TIMEOUT 120)
endif()

# Debian package: `cpack -G DEB` in a build configured with -DCMAKE_INSTALL_PREFIX=/usr.
set(QUORVIN_PACKAGE_MAINTAINER "Quorvin Software <support@quorvin.example>"
  CACHE STRING "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvin)
set(CPACK_PACKAGE_VENDOR "Quorvin Software")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${QUORVIN_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "video converter for iPod, iPhone, Apple TV, phones and media players")
# The long description, wrapped for package tools that show it as it is.
set(CPACK_PACKAGE_DESCRIPTION [=[
Quorvin iPod Video Converter converts video and audio files into twenty-three
output formats: iPod, iPod Touch, iPhone and Apple TV MP4; AAC, MP3 and M4A
audio; 3GP, 3G2, AVI, DivX AVI, MOV, MP4, MPEG-1, MPEG-2 and WMV; H.264 and
H.265/HEVC MP4, VP9 WebM, Opus and FLAC, with
adjustable quality, picture size, frame rate, channels, volume and aspect
ratio. It has its own transcoding engine on the FFmpeg libraries.]=])
if(QUORVIN_HAS_GUI)
  string(APPEND CPACK_PACKAGE_DESCRIPTION
    "\n\nThis package contains the desktop program quorvin and the command-line\n"
    "converter quorvin-convert.")
else()
  string(APPEND CPACK_PACKAGE_DESCRIPTION
    "\n\nThis package contains the command-line converter quorvin-convert.")
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QUORVIN_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Runtime libraries (FFmpeg, opencore-amr, Qt, the C++ runtime) come in as dependencies
# computed by dpkg-shlibdeps from the programs' linked libraries. libavfilter and libavdevice
# are loaded only when needed, so dpkg-shlibdeps cannot see them: they are named here, by the
# major versions the engine was built against (Debian names these packages after them).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
pkg_check_modules(ON_DEMAND_LIBS REQUIRED libavfilter libavdevice)
string(REGEX MATCH "^[0-9]+" avfilter_major ${ON_DEMAND_LIBS_libavfilter_VERSION})
string(REGEX MATCH "^[0-9]+" avdevice_major ${ON_DEMAND_LIBS_libavdevice_VERSION})
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libavfilter${avfilter_major} (>= 7:5.1), libavdevice${avdevice_major} (>= 7:5.1)")
if(QUORVIN_HAS_GUI)
  # xdg-open shows the help and the web links; the Wayland plugin lets Qt run natively there.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, qt6-wayland")
endif()
include(CPack)
