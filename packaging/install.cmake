# Installing the game like a desktop game, and its Debian package (tools/package.sh builds and checks it).
#
# The game itself reads boards/ and writes logs/ where it is started, so it goes into a private folder and
# the launcher in games/ starts it in the player's own folder. Paths are relative to the prefix, so any
# prefix works and the installed tree may be moved.

set(tolvaran_package multiplayer-tolvaran)
set(tolvaran_private lib/${tolvaran_package})
set(packaging_dir ${CMAKE_CURRENT_SOURCE_DIR}/packaging)
set(packaging_build ${CMAKE_CURRENT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${packaging_build})

install(TARGETS multiplayer_tolvaran board_check RUNTIME DESTINATION ${tolvaran_private})
install(PROGRAMS ${packaging_dir}/${tolvaran_package} DESTINATION games)
# The board checker under a name of the game's own, as a relative link that survives a moved tree.
file(CREATE_LINK ../${tolvaran_private}/board_check ${packaging_build}/${tolvaran_package}-board-check SYMBOLIC)
install(FILES ${packaging_build}/${tolvaran_package}-board-check DESTINATION games)
install(DIRECTORY boards/ DESTINATION share/games/${tolvaran_package}/boards FILES_MATCHING PATTERN "board (*).txt")

install(FILES ${packaging_dir}/${tolvaran_package}.desktop DESTINATION share/applications)
install(FILES ${packaging_dir}/io.github.tolvaran.multiplayer_tolvaran.metainfo.xml DESTINATION share/metainfo)
# The PNGs are the SVG rendered once, for N in 48 128 256:
#   rsvg-convert -w N -h N multiplayer-tolvaran.svg -o NxN/multiplayer-tolvaran.png
install(FILES ${packaging_dir}/icons/${tolvaran_package}.svg DESTINATION share/icons/hicolor/scalable/apps)
foreach(size 48 128 256)
  install(FILES ${packaging_dir}/icons/${size}x${size}/${tolvaran_package}.png
          DESTINATION share/icons/hicolor/${size}x${size}/apps)
endforeach()

set(CPACK_PACKAGE_CONTACT "The Multiplayer Tolvaran developers <maintainers@users.noreply.c-seed-ff03436b.example>"
    CACHE STRING "Maintainer of the Debian package")
configure_file(${packaging_dir}/changelog.in ${packaging_build}/changelog @ONLY)

# The manual page and the changelog are installed compressed, without a time stamp, so that two builds give
# the same bytes.
set(man_page ${packaging_build}/${tolvaran_package}.6)
add_custom_command(OUTPUT ${man_page}.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${packaging_dir}/${tolvaran_package}.6 ${man_page}
  COMMAND gzip -9nf ${man_page}
  DEPENDS ${packaging_dir}/${tolvaran_package}.6 VERBATIM)
add_custom_command(OUTPUT ${packaging_build}/changelog.gz
  COMMAND gzip -9nkf ${packaging_build}/changelog
  DEPENDS ${packaging_build}/changelog VERBATIM)
add_custom_target(compressed_docs ALL DEPENDS ${man_page}.gz ${packaging_build}/changelog.gz)
file(CREATE_LINK ${tolvaran_package}.6.gz ${packaging_build}/${tolvaran_package}-board-check.6.gz SYMBOLIC)
install(FILES ${man_page}.gz ${packaging_build}/${tolvaran_package}-board-check.6.gz DESTINATION share/man/man6)

# The licence in Debian's machine-readable form, made from LICENSE so that the two cannot drift apart.
file(STRINGS LICENSE license_lines)
list(POP_FRONT license_lines license_title license_blank license_holder)
string(REGEX REPLACE "^Copyright \\(c\\) " "" license_holder "${license_holder}")
set(license_text "")
foreach(line IN LISTS license_lines)
  if(line STREQUAL "")
    set(line ".")
  endif()
  string(APPEND license_text " ${line}\n")
endforeach()
string(REGEX REPLACE "^ \\.\n" "" license_text "${license_text}")
file(WRITE ${packaging_build}/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: Multiplayer Tolvaran\n\n"
  "Files: *\nCopyright: ${license_holder}\nLicense: Expat\n\n"
  "License: Expat\n${license_text}")
install(FILES ${packaging_build}/copyright ${packaging_build}/changelog.gz DESTINATION share/doc/${tolvaran_package})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${tolvaran_package})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "two-player 3D brick-breaking game")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "\
A ball crosses a board of 20 by 20 bricks between two pads, the red
player's at one end and the green player's at the other. Whoever last
touched the ball earns the points of the bricks it breaks; a player who
lets the ball past their pad loses 500 points.
.
Two players share one keyboard, or one plays against the computer. Ten
boards come with the game; each player gets copies to edit in their own
folder, and a checker for boards they write.")
include(CPack)
