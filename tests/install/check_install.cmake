cmake_minimum_required(VERSION 3.25)
# Installs the build into a scratch DESTDIR with the prefix /usr and checks that every file an
# installation needs is where the desktop, man and the shell look for it.
file(REMOVE_RECURSE "${STAGE}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${STAGE} ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr
  RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${errors}")
endif()

set(root "${STAGE}/usr")
set(problems "")
foreach(program tarvello tarvello-sim tarvello-ctl)
  if(NOT EXISTS "${root}/bin/${program}" OR IS_DIRECTORY "${root}/bin/${program}")
    string(APPEND problems "  missing bin/${program}\n")
  endif()
endforeach()
foreach(file
    share/applications/tarvello.desktop
    share/metainfo/org.tarvello.Tarvello.metainfo.xml
    share/icons/hicolor/scalable/apps/tarvello.svg
    share/man/man1/tarvello.1
    share/man/man1/tarvello-sim.1
    share/man/man1/tarvello-ctl.1)
  if(NOT EXISTS "${root}/${file}")
    string(APPEND problems "  missing ${file}\n")
  endif()
endforeach()
# The wall, with MQTT.js's browser bundle beside the page (when npm built it).
if(WALL)
  foreach(file index.html wall.js wall.css texts.js mqtt.min.js)
    if(NOT EXISTS "${root}/share/tarvello/wall/${file}")
      string(APPEND problems "  missing share/tarvello/wall/${file}\n")
    endif()
  endforeach()
endif()
# Each PNG must be the size of the folder it is in: the width and height in its IHDR chunk.
foreach(size 48 256)
  set(png "${root}/share/icons/hicolor/${size}x${size}/apps/tarvello.png")
  if(NOT EXISTS "${png}")
    string(APPEND problems "  missing ${size}x${size} icon\n")
    continue()
  endif()
  file(READ "${png}" header OFFSET 16 LIMIT 8 HEX)
  string(SUBSTRING "${header}" 0 8 width)
  string(SUBSTRING "${header}" 8 8 height)
  math(EXPR width "0x${width}")
  math(EXPR height "0x${height}")
  if(NOT width EQUAL size OR NOT height EQUAL size)
    string(APPEND problems "  the ${size}x${size} icon is ${width}x${height}\n")
  endif()
endforeach()
# The desktop entry starts the installed program under the icon's name.
file(STRINGS "${root}/share/applications/tarvello.desktop" entry)
if(NOT "Exec=tarvello" IN_LIST entry OR NOT "Icon=tarvello" IN_LIST entry)
  string(APPEND problems "  the desktop entry does not start tarvello with the icon tarvello\n")
endif()

if(problems)
  message(FATAL_ERROR "installed tree in ${STAGE} is incomplete:\n${problems}")
endif()
file(REMOVE_RECURSE "${STAGE}")
