# find_package(Zelvan): the installed libraries as Zelvan::ZelvanBase, Zelvan::ZelvanHal and
# Zelvan::ZelvanDriver.
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include("${CMAKE_CURRENT_LIST_DIR}/ZelvanTargets.cmake")
