# What `cmake --install` puts where, and the Debian package CPack makes of it.
#
#   bin/                         Pellorin, pellorin-cli (where built), pellorin-sim, hexgen
#   share/applications/          the desktop entry
#   share/icons/hicolor/NxN/apps the icon at 16, 32, 48, 128 and 256 pixels, rendered at build time
#   share/metainfo/              the AppStream metainfo
#   share/man/man1/              the manual pages, compressed
#   share/doc/pellorin/          copyright and changelog (the package's name, in lower case)
#
# Test programs, benchmarks and the static libraries have no install rule and stay in the build.
include(GNUInstallDirs)

set(PELLORIN_APP_ID "org.example.pellorin" CACHE STRING
    "Application id: the name of the desktop entry, the icon and the AppStream component")
# Where the project is published; empty (the default) for none. With one, the metainfo names it
# and the screenshot it serves (HOMEPAGE/screenshot.png, docs/screenshot.png), and the package its
# Homepage field: AppStream's validator fetches both, so only a real address may go here.
set(PELLORIN_HOMEPAGE "" CACHE STRING "The project's home page (empty for none)")
set(PELLORIN_MAINTAINER "Pellorin developers <pellorin@example.org>" CACHE STRING
    "Maintainer of the packages: name <address>")

set(pellorin_linux OFF)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(pellorin_linux ON)
endif()

# The window tells the desktop which entry is its own.
if(TARGET Pellorin)
  target_compile_definitions(Pellorin PRIVATE PELLORIN_APP_ID="${PELLORIN_APP_ID}")
endif()

# The programs.
foreach(program Pellorin pellorin-cli pellorin-sim hexgen)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

if(pellorin_linux)
  set(pellorin_packaging_out ${CMAKE_BINARY_DIR}/packaging)
  set(pellorin_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/pellorin)

  # The icon, from the window's own pixel maps, by a small Qt program run at build time.
  if(TARGET Pellorin AND NOT CMAKE_CROSSCOMPILING)
    find_package(Qt6 REQUIRED COMPONENTS Gui)
    add_executable(pellorin-icon-render ${CMAKE_CURRENT_LIST_DIR}/IconRender.cpp)
    target_include_directories(pellorin-icon-render PRIVATE ${PROJECT_SOURCE_DIR})
    target_link_libraries(pellorin-icon-render PRIVATE Qt6::Gui pellorin_warnings)
    set(icon_root ${pellorin_packaging_out}/icons/hicolor)
    set(icon_files)
    set(icon_folders)
    foreach(size 16 32 48 128 256)
      list(APPEND icon_files ${icon_root}/${size}x${size}/apps/${PELLORIN_APP_ID}.png)
      list(APPEND icon_folders ${icon_root}/${size}x${size}/apps)
    endforeach()
    add_custom_command(
      OUTPUT ${icon_files}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${icon_folders}
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
              $<TARGET_FILE:pellorin-icon-render> ${icon_root} ${PELLORIN_APP_ID}
      DEPENDS pellorin-icon-render
              ${PROJECT_SOURCE_DIR}/app/res/pellorin16.xpm ${PROJECT_SOURCE_DIR}/app/res/pellorin32.xpm
      COMMENT "Rendering the application icon at 16 to 256 pixels"
      VERBATIM)
    add_custom_target(pellorin_icons ALL DEPENDS ${icon_files})
    install(DIRECTORY ${icon_root} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)

    set(PELLORIN_METAINFO_HOMEPAGE "")
    if(PELLORIN_HOMEPAGE)
      string(CONCAT PELLORIN_METAINFO_HOMEPAGE
        "  <url type=\"homepage\">${PELLORIN_HOMEPAGE}</url>\n"
        "  <screenshots>\n"
        "    <screenshot type=\"default\">\n"
        "      <caption>A DSP and an MCU update against the simulated inverter</caption>\n"
        "      <image>${PELLORIN_HOMEPAGE}/screenshot.png</image>\n"
        "    </screenshot>\n"
        "  </screenshots>\n")
    endif()
    set(PELLORIN_METAINFO_BINARIES "")
    foreach(program Pellorin pellorin-cli pellorin-sim hexgen)
      if(TARGET ${program})
        string(APPEND PELLORIN_METAINFO_BINARIES "\n    <binary>${program}</binary>")
      endif()
    endforeach()
    configure_file(${CMAKE_CURRENT_LIST_DIR}/linux/pellorin.desktop.in
                   ${pellorin_packaging_out}/${PELLORIN_APP_ID}.desktop @ONLY)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/linux/pellorin.metainfo.xml.in
                   ${pellorin_packaging_out}/${PELLORIN_APP_ID}.metainfo.xml @ONLY)
    install(FILES ${pellorin_packaging_out}/${PELLORIN_APP_ID}.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${pellorin_packaging_out}/${PELLORIN_APP_ID}.metainfo.xml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  endif()

  # Manual pages and the changelog, compressed as Debian wants them (gzip -9n: no name, no time).
  find_program(PELLORIN_GZIP gzip)
  set(man_pages)
  foreach(program Pellorin pellorin-cli pellorin-sim hexgen)
    set(page ${PROJECT_SOURCE_DIR}/docs/${program}.1)
    if(TARGET ${program} AND EXISTS ${page})
      list(APPEND man_pages ${page})
    endif()
  endforeach()
  configure_file(${CMAKE_CURRENT_LIST_DIR}/linux/changelog.in ${pellorin_packaging_out}/changelog @ONLY)
  if(PELLORIN_GZIP)
    set(compressed)
    foreach(source ${man_pages} ${pellorin_packaging_out}/changelog)
      get_filename_component(file_name ${source} NAME)
      set(target_file ${pellorin_packaging_out}/gz/${file_name}.gz)
      add_custom_command(
        OUTPUT ${target_file}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${pellorin_packaging_out}/gz
        COMMAND sh -c "\"$1\" -9nc \"$2\" > \"$3\"" sh ${PELLORIN_GZIP} ${source} ${target_file}
        DEPENDS ${source}
        VERBATIM)
      list(APPEND compressed ${target_file})
      if(source IN_LIST man_pages)
        install(FILES ${target_file} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
      else()
        install(FILES ${target_file} DESTINATION ${pellorin_doc_dir})
      endif()
    endforeach()
    add_custom_target(pellorin_compressed_docs ALL DEPENDS ${compressed})
  else()
    install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${pellorin_packaging_out}/changelog DESTINATION ${pellorin_doc_dir})
  endif()
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/linux/copyright DESTINATION ${pellorin_doc_dir})
endif()

# The Debian package: `cpack -G DEB` in the build folder (scripts/package.sh does it all).
set(CPACK_PACKAGE_NAME pellorin)
set(CPACK_PACKAGE_VENDOR "Pellorin developers")
set(CPACK_PACKAGE_CONTACT "${PELLORIN_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for the DSP and MCU of an inverter")
# Lines of at most 79 characters: the package's control file keeps them as written.
set(CPACK_PACKAGE_DESCRIPTION
"Pellorin puts new firmware into the two processors of an inverter's
controller, a DSP and an MCU, through their serial bootloaders. The operator
picks a serial port and a link speed and presses Update DSP or Update MCU;
the window shows progress, elapsed time, speed and time left, with a log and
an end sound.

The package holds the window (Pellorin), the command-line updater
(pellorin-cli), a simulated inverter to try it without hardware
(pellorin-sim) and a generator of test images (hexgen).

Serial ports belong to the group dialout. To open one, add your user to that
group (sudo usermod -aG dialout USER) and log in again; the package changes
no group by itself.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Pellorin")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PELLORIN_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(PELLORIN_HOMEPAGE)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PELLORIN_HOMEPAGE}")
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "sound-theme-freedesktop, fonts-wqy-microhei")
# The end sound is played by the desktop's sound player: PulseAudio's or PipeWire's.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pulseaudio-utils | pipewire-bin")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
if(pellorin_linux)
  set(CPACK_GENERATOR DEB)
else()
  set(CPACK_GENERATOR ZIP)
endif()
include(CPack)
