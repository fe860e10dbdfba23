# Settings for building wsbridge.dll on Windows, with mingw-w64 (cross or native) or MSVC.
# Included before any target is made, since the runtime choice is read at target creation.

# windows.h would otherwise define min and max as macros and break std::min in our sources.
add_compile_definitions(NOMINMAX WIN32_LEAN_AND_MEAN)

if(MSVC)
  # The C and C++ runtime go into the DLL itself, so hosts need no redistributable.
  set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
  # strncpy and snprintf are used with explicit bounds; the CRT's "unsafe" warnings do not apply.
  add_compile_definitions(_CRT_SECURE_NO_WARNINGS)
endif()

# Links the C and C++ runtime (libgcc, libstdc++, winpthreads) into the DLL, so that it depends
# on system DLLs only. MSVC gets the same from CMAKE_MSVC_RUNTIME_LIBRARY above.
function(wsbridge_link_runtime_statically target)
  if(MINGW)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
endfunction()

# The DLL's version resource (file and product version, name, description), made from the one
# version number.
enable_language(RC)
set(WSBRIDGE_VERSION_RESOURCE ${PROJECT_BINARY_DIR}/wsbridge_version.rc)
configure_file(${PROJECT_SOURCE_DIR}/bridge/version.rc.in ${WSBRIDGE_VERSION_RESOURCE} @ONLY)

# MSVC's linker writes wsbridge.lib itself. A mingw-w64 build writes libwsbridge.dll.a for its
# own toolchain, and makes wsbridge.lib for MSVC linkers from the .def file with llvm-dlltool
# (the LLVM tools), so that one build serves hosts of both toolchains.
function(wsbridge_add_msvc_import_library target)
  if(NOT MINGW)
    return()
  endif()
  find_program(WSBRIDGE_DLLTOOL NAMES llvm-dlltool llvm-dlltool-16 llvm-dlltool-15 llvm-dlltool-14)
  if(NOT WSBRIDGE_DLLTOOL)
    message(STATUS "llvm-dlltool not found: no wsbridge.lib for MSVC linkers in this build")
    return()
  endif()
  set(import_library ${PROJECT_BINARY_DIR}/wsbridge.lib)
  add_custom_command(OUTPUT ${import_library}
    COMMAND ${WSBRIDGE_DLLTOOL} -m i386:x86-64 -d ${WSBRIDGE_DEF_FILE}
            -D $<TARGET_FILE_NAME:${target}> -l ${import_library}
    DEPENDS ${WSBRIDGE_DEF_FILE}
    COMMENT "Making wsbridge.lib for MSVC linkers"
    VERBATIM)
  add_custom_target(wsbridge_msvc_import_library ALL DEPENDS ${import_library})
  set(WSBRIDGE_MSVC_IMPORT_LIBRARY ${import_library} PARENT_SCOPE)
endfunction()
