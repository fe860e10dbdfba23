# How the library reaches its users: install rules for the library, its header and its docs, the
# CMake package (target wsbridge::wsbridge, found from an installed prefix or from this build
# folder) and the pkg-config file. `cmake --install BUILD --prefix DIR` lays out:
#
#   include/wsbridge.h
#   lib/libwsbridge.so -> libwsbridge.so.0 -> libwsbridge.so.0.2.0      (Linux)
#   bin/wsbridge.dll, bin/wsbridge-cli.exe, lib/libwsbridge.dll.a, lib/wsbridge.lib,
#   lib/wsbridge.def                                                     (Windows)
#   lib/cmake/wsbridge/, lib/pkgconfig/wsbridge.pc
#   share/doc/wsbridge/: README.md, LICENSE, docs/, examples/ (the C, C# and Python hosts)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(wsbridge_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/wsbridge)

install(TARGETS wsbridge EXPORT wsbridgeTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/wsbridge.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
  install(FILES ${WSBRIDGE_DEF_FILE} ${WSBRIDGE_MSVC_IMPORT_LIBRARY}
    DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/c_host ${PROJECT_SOURCE_DIR}/examples/csharp
  ${PROJECT_SOURCE_DIR}/examples/python DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The CMake package: the same config file serves the install and this build folder, since it
# finds the targets file beside itself. Versions of one major number are compatible: exports are
# only ever added within it, and the soname carries the same number.
install(EXPORT wsbridgeTargets NAMESPACE wsbridge:: DESTINATION ${wsbridge_package_dir})
export(EXPORT wsbridgeTargets NAMESPACE wsbridge:: FILE ${PROJECT_BINARY_DIR}/wsbridgeTargets.cmake)
configure_file(${PROJECT_SOURCE_DIR}/cmake/wsbridgeConfig.cmake
  ${PROJECT_BINARY_DIR}/wsbridgeConfig.cmake COPYONLY)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/wsbridgeConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/wsbridgeConfig.cmake
  ${PROJECT_BINARY_DIR}/wsbridgeConfigVersion.cmake DESTINATION ${wsbridge_package_dir})

# The pkg-config file finds its prefix from its own place (pcfiledir), so an unpacked archive
# works wherever it lies.
file(RELATIVE_PATH wsbridge_pc_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" wsbridge_pc_prefix "${wsbridge_pc_prefix}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/wsbridge.pc.in ${PROJECT_BINARY_DIR}/wsbridge.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/wsbridge.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
