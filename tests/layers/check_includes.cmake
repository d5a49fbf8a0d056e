cmake_minimum_required(VERSION 3.25)

# Fails when a file includes a header from a folder that its target does not link.
#   cmake -DROOT=<source tree> [-DSKIP=<folder>;...] [-DQT_INCLUDE_DIR=<dir holding QtCore/, QtGui/ ...>]
#         -P check_includes.cmake
#
# Each row of the table: a folder, then the folders whose headers its files may include besides its own. Names in
# the second column are the src/ layers, "support" (tests/support), "standin", and the Qt modules beyond QtCore that
# only the window may use (QtGui, QtWidgets; checked when QT_INCLUDE_DIR is given). A file belongs to the row of the
# longest folder that holds it; a file under none of them is an error, so that a new folder gets its row.
set(LAYER_TABLE
  "src/foundation |"
  "src/log        | foundation"
  "src/store      | foundation"
  "src/sessions   | foundation"
  "src/operator   | foundation log store"
  "src/taobao     | foundation log store"
  "src/sync       | foundation log store sessions operator taobao"
  "src/app        | foundation log store sessions operator taobao sync QtGui QtWidgets"
  "src/browser    | foundation store QtGui QtWidgets"
  "src/sanitizer  |"
  "standin        |"
  "standin/browser| foundation store"
  "bench          | foundation log store sessions operator taobao sync app standin QtGui QtWidgets"
  "tests/support  | foundation log standin"
  "tests/foundation | foundation support standin"
  "tests/log      | foundation log support standin"
  "tests/store    | foundation store support standin"
  "tests/sessions | foundation sessions support standin"
  "tests/operator | foundation log store operator support standin"
  "tests/taobao   | foundation log store taobao support standin"
  "tests/sync     | foundation log store sessions operator taobao sync app support standin"
  "tests/app      | foundation log store sessions operator taobao sync app support standin QtGui QtWidgets"
  "tests/standin  | foundation log store sessions operator taobao sync standin support"
  "tests/browser  | foundation store sessions sync browser standin tests/standin support QtGui QtWidgets"
  "tests/e2e      | foundation log store sessions operator taobao sync app support standin tests/app QtGui QtWidgets"
  "tests/layers   |"
  "fuzz           | foundation log store sessions operator taobao sync"
)
set(LAYERS foundation log store sessions operator taobao sync app browser)
set(GUI_MODULES QtGui QtWidgets)
set(SCANNED src standin bench tests fuzz)

if(NOT ROOT)
  message(FATAL_ERROR "ROOT is not set")
endif()

# The folder that a short name of the table stands for.
function(folder_of name out)
  if(name IN_LIST LAYERS)
    set(${out} "src/${name}" PARENT_SCOPE)
  elseif(name STREQUAL "support")
    set(${out} "tests/support" PARENT_SCOPE)
  else()
    set(${out} "${name}" PARENT_SCOPE)
  endif()
endfunction()

set(ROW_KEYS "")
foreach(row IN LISTS LAYER_TABLE)
  string(REGEX MATCH "^([^|]*)\\|(.*)$" ignored "${row}")
  set(key "${CMAKE_MATCH_1}")
  set(allowed "${CMAKE_MATCH_2}")
  string(STRIP "${key}" key)
  string(STRIP "${allowed}" allowed)
  separate_arguments(allowed UNIX_COMMAND "${allowed}")
  set(folders "${key}")
  foreach(name IN LISTS allowed)
    folder_of("${name}" folder)
    list(APPEND folders "${folder}")
  endforeach()
  list(APPEND ROW_KEYS "${key}")
  set("ALLOWED_${key}" "${folders}")
endforeach()

# The row key of a file: the longest folder of the table that holds it; empty when none does.
function(row_of file out)
  set(best "")
  foreach(key IN LISTS ROW_KEYS)
    string(LENGTH "${key}" keyLength)
    string(LENGTH "${best}" bestLength)
    if(file MATCHES "^${key}/" AND keyLength GREATER bestLength)
      set(best "${key}")
    endif()
  endforeach()
  set(${out} "${best}" PARENT_SCOPE)
endfunction()

# The folder that an include line names, as the build resolves it: a path starting with a layer or "standin" is
# under src/ or the root; a bare name next to the file, then in tests/support, then in standin/; a Qt header of
# QtGui or QtWidgets is that module. Empty when the header is none of these (the standard library, QtCore and the
# other libraries), "?" when a quoted include is not found.
function(resolve file include quoted out)
  string(REGEX MATCH "^[^/]+" first "${include}")
  if(first IN_LIST GUI_MODULES AND include MATCHES "/")
    set(${out} "${first}" PARENT_SCOPE)
    return()
  endif()
  if(QT_INCLUDE_DIR AND NOT include MATCHES "/")
    foreach(module IN LISTS GUI_MODULES)
      if(EXISTS "${QT_INCLUDE_DIR}/${module}/${include}")
        set(${out} "${module}" PARENT_SCOPE)
        return()
      endif()
    endforeach()
  endif()
  if(first IN_LIST LAYERS AND include MATCHES "/")
    set(${out} "src/${first}" PARENT_SCOPE)
  elseif(first STREQUAL "standin" AND include MATCHES "/")
    set(${out} "standin" PARENT_SCOPE)
  elseif(NOT quoted OR include MATCHES "\\.moc$|^moc_|^ui_")
    set(${out} "" PARENT_SCOPE)
  else()
    get_filename_component(dir "${file}" DIRECTORY)
    if(EXISTS "${ROOT}/${dir}/${include}")
      row_of("${dir}/${include}" row)
      set(${out} "${row}" PARENT_SCOPE)
    elseif(EXISTS "${ROOT}/tests/support/${include}")
      set(${out} "tests/support" PARENT_SCOPE)
    elseif(EXISTS "${ROOT}/standin/${include}")
      set(${out} "standin" PARENT_SCOPE)
    else()
      # Reached through some target's include folder: name that folder, so the fault says where it comes from.
      set(found "")
      foreach(top IN LISTS SCANNED)
        file(GLOB_RECURSE found RELATIVE "${ROOT}" "${ROOT}/${top}/${include}")
        list(FILTER found EXCLUDE REGEX "^(${SKIP_REGEX})/")
        if(found)
          break()
        endif()
      endforeach()
      if(found)
        list(GET found 0 first)
        row_of("${first}" row)
        set(${out} "${row}" PARENT_SCOPE)
      else()
        set(${out} "?" PARENT_SCOPE)
      endif()
    endif()
  endif()
endfunction()

list(JOIN SKIP "|" SKIP_REGEX)
if(SKIP_REGEX STREQUAL "")
  set(SKIP_REGEX "^$")
endif()

set(faults 0)
set(files "")
foreach(top IN LISTS SCANNED)
  file(GLOB_RECURSE found RELATIVE "${ROOT}" "${ROOT}/${top}/*.h" "${ROOT}/${top}/*.hpp" "${ROOT}/${top}/*.cpp"
       "${ROOT}/${top}/*.cc")
  list(APPEND files ${found})
endforeach()
list(SORT files)

foreach(file IN LISTS files)
  set(skipped FALSE)
  foreach(skip IN LISTS SKIP)
    if(file MATCHES "^${skip}/")
      set(skipped TRUE)
    endif()
  endforeach()
  if(skipped)
    continue()
  endif()
  row_of("${file}" row)
  if(row STREQUAL "")
    message("${file}: its folder has no row in the layer table")
    math(EXPR faults "${faults} + 1")
    continue()
  endif()
  file(STRINGS "${ROOT}/${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  foreach(line IN LISTS lines)
    string(REGEX MATCH "[<\"]([^>\"]+)[>\"]" ignored "${line}")
    set(include "${CMAKE_MATCH_1}")
    set(quoted FALSE)
    if(line MATCHES "include[ \t]*\"")
      set(quoted TRUE)
    endif()
    resolve("${file}" "${include}" "${quoted}" folder)
    if(folder STREQUAL "")
      continue()
    elseif(folder STREQUAL "?")
      message("${file}: includes \"${include}\", which is in none of the folders a build can reach")
      math(EXPR faults "${faults} + 1")
    elseif(NOT folder IN_LIST "ALLOWED_${row}")
      message("${file}: includes \"${include}\" from ${folder}, which ${row} does not link")
      math(EXPR faults "${faults} + 1")
    endif()
  endforeach()
endforeach()

list(LENGTH files count)
if(faults GREATER 0)
  message(FATAL_ERROR "${faults} layer fault(s)")
endif()
message("${count} files include only what their folder links")
