# cmake -DBUILD_DIR=<build> -DPREFIX=<dir> -P InstallLayout.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()

foreach(f bin/vantorel bin/cvtcore bin/presets.ini share/applications/vantorel.desktop
          share/icons/hicolor/scalable/apps/vantorel.svg
          share/icons/hicolor/64x64/apps/vantorel.png
          share/icons/hicolor/128x128/apps/vantorel.png)
  if(NOT EXISTS "${PREFIX}/${f}")
    message(FATAL_ERROR "missing ${f}")
  endif()
endforeach()
# Test tools stay in the build tree.
if(EXISTS "${PREFIX}/bin/sitesim")
  message(FATAL_ERROR "sitesim must not be installed")
endif()

file(STRINGS "${PREFIX}/share/applications/vantorel.desktop" lines)
set(want_exec "Exec=\"${PREFIX}/bin/vantorel\" %U")
set(want_icon "Icon=${PREFIX}/share/icons/hicolor/scalable/apps/vantorel.svg")
foreach(want IN ITEMS "[Desktop Entry]" "Type=Application" "${want_exec}" "${want_icon}")
  list(FIND lines "${want}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "desktop entry lacks '${want}':\n${lines}")
  endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
