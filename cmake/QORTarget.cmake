# qor_add_library(NAME <name> DIR <folder> [DEPS ...] [PRIVATE_DEPS ...])
#
# One shared library per folder with include/ and src/. Sources are globbed per folder so that a
# new file in a subsystem needs no edit here; headers install under include/.
function(qor_add_library)
  cmake_parse_arguments(Q "" "NAME;DIR" "DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB_RECURSE _srcs CONFIGURE_DEPENDS ${Q_DIR}/src/*.cpp)
  add_library(${Q_NAME} SHARED ${_srcs})
  add_library(QORModels::${Q_NAME} ALIAS ${Q_NAME})
  target_include_directories(${Q_NAME} PUBLIC
    $<BUILD_INTERFACE:${Q_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${Q_NAME} PUBLIC ${Q_DEPS} PRIVATE ${Q_PRIVATE_DEPS})
  target_compile_features(${Q_NAME} PUBLIC cxx_std_20)
  qor_warnings(${Q_NAME})
  qor_bind_locally(${Q_NAME})
  qor_optimise_shipped(${Q_NAME})
  set_target_properties(${Q_NAME} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  install(TARGETS ${Q_NAME} EXPORT QORModelsTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(DIRECTORY ${Q_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endfunction()

function(qor_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-unused-parameter)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # g++ 12 reports false "maybe uninitialized" values inside std::variant and std::optional, and
    # false overlaps in std::string concatenation (-Wrestrict), at -O2/-O3.
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized -Wno-restrict)
  endif()
endfunction()

# A library's calls to its own functions go straight to them: no one replaces a function of ours
# by preloading another, so the compiler may inline them and the linker binds them without the
# procedure linkage table. Analysing a packet makes dozens of such calls per header.
function(qor_bind_locally target)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -fno-semantic-interposition)
  endif()
  target_link_options(${target} PRIVATE -Wl,-Bsymbolic-functions)
endfunction()

# What the project ships (its libraries, plug-ins and tool), in a build compiled with a training's
# profile (QOR_PROFILE use, which sets QOR_OPTIMISE_SHIPPED), is also optimised across its source
# files when it is linked. A template many files use is compiled in each of them, and compiled
# file by file each copy sees only the counts its own file's copy gathered in training: the copy
# the linker keeps may be one that never ran there, compiled small and slow. Linked whole, every copy has the counts of the
# one that ran, and what never ran is compiled small and kept apart. Tests, benchmarks and fuzz
# targets are compiled as they are.
#
# Their warnings are not errors in such a build (call after qor_warnings): a function edited since
# the training can leave a call whose counts no longer match the function called, which GCC
# reports with a warning no option turns off, and an edit must not break the build until the
# next training. The instrumented build of the training compiles the same sources with warnings
# as errors, so a clean build (and the checks) still fails on any warning.
function(qor_optimise_shipped target)
  if(QOR_OPTIMISE_SHIPPED)
    set_target_properties(${target} PROPERTIES INTERPROCEDURAL_OPTIMIZATION ON)
    target_compile_options(${target} PRIVATE -Wno-error)
  endif()
endfunction()

# qor_add_plugin(NAME <Name> PRINCIPAL_CLASS <class> SOURCES ... [DEPS ...])
#
# Builds a loadable analyzer plug-in as a bundle folder:
#   <Name>.qorplugin/Info.plist      NSPrincipalClass, CFBundleExecutable, CFBundleIdentifier
#   <Name>.qorplugin/lib<Name>.so    the shared library, which registers its classes when loaded
# in the build tree's built-in plug-ins folder, and installs it into the installed one.
function(qor_add_plugin)
  cmake_parse_arguments(Q "" "NAME;PRINCIPAL_CLASS;IDENTIFIER" "SOURCES;DEPS" ${ARGN})
  set(_bundle ${QOR_BUILD_PLUGINS_DIR}/${Q_NAME}.qorplugin)
  add_library(${Q_NAME} MODULE ${Q_SOURCES})
  target_link_libraries(${Q_NAME} PRIVATE ${Q_DEPS})
  qor_warnings(${Q_NAME})
  qor_bind_locally(${Q_NAME})
  qor_optimise_shipped(${Q_NAME})
  set_target_properties(${Q_NAME} PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY ${_bundle}
    PREFIX "lib"
    INSTALL_RPATH "$ORIGIN/../../.."
    BUILD_RPATH "${CMAKE_BINARY_DIR}/lib")
  if(NOT Q_IDENTIFIER)
    set(Q_IDENTIFIER "com.orvaleth.qor.plugin.${Q_NAME}")
  endif()
  set(QOR_PLUGIN_PRINCIPAL_CLASS ${Q_PRINCIPAL_CLASS})
  set(QOR_PLUGIN_EXECUTABLE lib${Q_NAME}.so)
  set(QOR_PLUGIN_IDENTIFIER ${Q_IDENTIFIER})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/Info.plist.in ${_bundle}/Info.plist @ONLY)
  install(TARGETS ${Q_NAME} LIBRARY DESTINATION ${QOR_INSTALL_PLUGINS_DIR}/${Q_NAME}.qorplugin)
  install(FILES ${_bundle}/Info.plist DESTINATION ${QOR_INSTALL_PLUGINS_DIR}/${Q_NAME}.qorplugin)
endfunction()
