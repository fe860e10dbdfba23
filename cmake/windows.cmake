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
