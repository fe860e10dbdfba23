# The export lists the linkers need, made at configure time from the one list, bridge/exports.txt:
# a version script for the Linux linker (only the listed names are global, everything else is
# local) and a module-definition file for the Windows linkers (which names the DLL exports, and
# from which the MSVC import library is made). Both go into the build folder.
#
# Sets WSBRIDGE_VERSION_SCRIPT and WSBRIDGE_DEF_FILE, the two files' paths.
set(export_list ${PROJECT_SOURCE_DIR}/bridge/exports.txt)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${export_list})
file(STRINGS ${export_list} export_names REGEX "^[A-Za-z_][A-Za-z0-9_]*$")

set(version_script_names "")
set(def_names "")
foreach(name IN LISTS export_names)
  string(APPEND version_script_names "    ${name};\n")
  string(APPEND def_names "    ${name}\n")
endforeach()

# file(CONFIGURE) writes only when the content changed, so an unchanged list relinks nothing.
set(WSBRIDGE_VERSION_SCRIPT ${PROJECT_BINARY_DIR}/wsbridge.map)
file(CONFIGURE OUTPUT ${WSBRIDGE_VERSION_SCRIPT} CONTENT
  "# Made from bridge/exports.txt by cmake/exports.cmake.\n{\n  global:\n${version_script_names}  local:\n    *;\n};\n")

# x64 has one calling convention and no name decoration, so the names stand as they are.
set(WSBRIDGE_DEF_FILE ${PROJECT_BINARY_DIR}/wsbridge.def)
file(CONFIGURE OUTPUT ${WSBRIDGE_DEF_FILE} CONTENT
  "; Made from bridge/exports.txt by cmake/exports.cmake.\nLIBRARY wsbridge.dll\nEXPORTS\n${def_names}")
