# The CMake package of wsbridge. A host project uses it as
#
#   find_package(wsbridge 0.2 REQUIRED)
#   target_link_libraries(my_host PRIVATE wsbridge::wsbridge)
#
# which links the shared library and puts wsbridge.h on the include path.
include("${CMAKE_CURRENT_LIST_DIR}/wsbridgeTargets.cmake")
