include(CMakePackageConfigHelpers)
install(EXPORT QORModelsTargets NAMESPACE QORModels:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QORModels)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/QORModelsConfig.cmake.in
  ${CMAKE_BINARY_DIR}/QORModelsConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QORModels)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/QORModelsConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/QORModelsConfig.cmake ${CMAKE_BINARY_DIR}/QORModelsConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QORModels)
configure_file(${CMAKE_CURRENT_LIST_DIR}/qormodels.pc.in ${CMAKE_BINARY_DIR}/qormodels.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/qormodels.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
