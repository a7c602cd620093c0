# Writes the module-definition file of QEL32.dll from the public header, so
# that include/qel32.h stays the one list of exports.
#
# Every declaration "QEL_API int32_t QEL_CALL name(parameters)" becomes the
# line "name@N", N being the bytes of arguments a stdcall function takes
# (4 per parameter: every parameter is a 32-bit integer or a pointer). The
# DLL is linked with --kill-at, which exports it as plain "name"; dlltool
# builds the import library from the same file, so programs compiled with
# the header (which call _name@N) link against it.
#
# qel_write_def(<header> <def file> <names to leave out>)
function(qel_write_def header def_file excluded)
  file(READ "${header}" text)
  # Comments may mention declarations; only code counts.
  string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" text "${text}")
  set(space "[ \t\r\n]")
  string(REGEX MATCHALL
         "QEL_API${space}+int32_t${space}+QEL_CALL${space}+[A-Za-z_][A-Za-z0-9_]*${space}*\\([^)]*\\)"
         declarations "${text}")
  if(NOT declarations)
    message(FATAL_ERROR "${header}: no exported function found")
  endif()

  set(lines "")
  set(names "")
  set(left_out "")
  foreach(declaration IN LISTS declarations)
    string(REGEX REPLACE "^.*QEL_CALL${space}+([A-Za-z0-9_]+).*$" "\\1" name "${declaration}")
    string(REGEX REPLACE "^[^(]*\\(([^)]*)\\)$" "\\1" parameters "${declaration}")
    string(STRIP "${parameters}" parameters)
    if(name IN_LIST names)
      message(FATAL_ERROR "${header}: ${name} is declared twice")
    endif()
    list(APPEND names ${name})

    set(bytes 0)
    if(NOT parameters STREQUAL "void" AND NOT parameters STREQUAL "")
      string(REPLACE "," ";" parameter_list "${parameters}")
      foreach(parameter IN LISTS parameter_list)
        string(STRIP "${parameter}" parameter)
        # A stdcall argument count is only right for 32-bit arguments.
        if(NOT parameter MATCHES "\\*" AND NOT parameter MATCHES "^u?int32_t${space}+[A-Za-z0-9_]+$")
          message(FATAL_ERROR "${header}: ${name}: parameter '${parameter}' is neither int32_t nor a pointer")
        endif()
        math(EXPR bytes "${bytes} + 4")
      endforeach()
    endif()

    if(name IN_LIST excluded)
      list(APPEND left_out ${name})
    else()
      string(APPEND lines "  ${name}@${bytes}\n")
    endif()
  endforeach()

  foreach(name IN LISTS excluded)
    if(NOT name IN_LIST names)
      message(WARNING "QEL_DEF_EXCLUDE names ${name}, which include/qel32.h does not declare")
    endif()
  endforeach()
  if(left_out)
    string(REPLACE ";" " " shown "${left_out}")
    message(STATUS "QEL32.def leaves out (QEL_DEF_EXCLUDE): ${shown}")
  endif()

  set(content "; QEL32.def: written by CMake from include/qel32.h; do not edit.\nLIBRARY QEL32.dll\nEXPORTS\n${lines}")
  # Rewritten only when it changes, so a configure run relinks nothing.
  file(WRITE "${def_file}.new" "${content}")
  configure_file("${def_file}.new" "${def_file}" COPYONLY)
  file(REMOVE "${def_file}.new")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${header}")
endfunction()
