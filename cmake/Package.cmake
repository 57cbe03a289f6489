# The Debian package's layout, as component "deb": installed only on request
# (scripts/package.sh runs `cmake --install <build> --component deb --prefix /usr`),
# so a plain `cmake --install` still makes the self-contained folder.
#
# The program lives in lib/vantorel/ beside its encoder adapter (it finds
# cvtcore in its own folder, which /proc/self/exe gives through the bin/ link)
# and reads presets.ini from share/vantorel/.
if(NOT TARGET vantorel OR NOT TARGET cvtcore)
  return()
endif()

set(pkg ${PROJECT_SOURCE_DIR}/packaging)
set(gen ${PROJECT_BINARY_DIR}/packaging)
set(deb COMPONENT deb EXCLUDE_FROM_ALL)

install(TARGETS vantorel cvtcore RUNTIME DESTINATION lib/vantorel ${deb})
install(CODE [[
  set(bin "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin")
  file(MAKE_DIRECTORY "${bin}")
  file(CREATE_LINK ../lib/vantorel/vantorel "${bin}/vantorel" SYMBOLIC)
]] ${deb})
install(FILES data/presets.ini DESTINATION share/vantorel ${deb})

# The menu entry names the program and icon as the desktop looks them up.
set(VANTOREL_DESKTOP_EXEC vantorel)
set(VANTOREL_DESKTOP_TRYEXEC vantorel)
set(VANTOREL_DESKTOP_ICON vantorel)
configure_file(data/vantorel.desktop.in ${gen}/vantorel.desktop @ONLY)
install(FILES ${gen}/vantorel.desktop DESTINATION share/applications ${deb})
install(FILES data/icons/vantorel.svg DESTINATION share/icons/hicolor/scalable/apps ${deb})
foreach(size 64 128)
  install(FILES data/icons/vantorel-${size}.png DESTINATION share/icons/hicolor/${size}x${size}/apps
          RENAME vantorel.png ${deb})
endforeach()
install(FILES ${pkg}/org.vantorel.vantorel.metainfo.xml DESTINATION share/metainfo ${deb})
install(FILES ${pkg}/copyright DESTINATION share/doc/vantorel ${deb})

# Debian wants the man page and the changelog compressed, reproducibly (-n).
foreach(file vantorel.1 changelog)
  add_custom_command(OUTPUT ${gen}/${file}.gz
                     COMMAND gzip -9nc ${pkg}/${file} > ${gen}/${file}.gz
                     DEPENDS ${pkg}/${file} VERBATIM)
  list(APPEND deb_compressed ${gen}/${file}.gz)
endforeach()
add_custom_target(deb_data ALL DEPENDS ${deb_compressed})
install(FILES ${gen}/vantorel.1.gz DESTINATION share/man/man1 ${deb})
install(FILES ${gen}/changelog.gz DESTINATION share/doc/vantorel ${deb})
