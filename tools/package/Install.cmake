# What `cmake --install` puts under the prefix for a host project: the shared
# library, the headers a host compiles against, a CMake package exporting
# LiveBrowseCache::LiveBrowseCache and the pkg-config file livebrowsecache.pc.

include(CMakePackageConfigHelpers)

# CLiveBrowseCache, its handles and exactly the headers they include, the
# library's error codes, and FXErrorUtil, the platform's way to test a code
# (its functions are exported by the library). The rest of include/ and every
# other platform stand-in stays private to the library.
set(LBC_PUBLIC_HEADERS
  LiveBrowseCache.h
  LiveBrowseCacheCodes.h
  CAutoMemory.h
  CTimeStamp.h
  CZoError.h
  Extent.h
  FXCriticalSection.h
  LiveBrowseCacheDBObject.h)
list(TRANSFORM LBC_PUBLIC_HEADERS PREPEND ${CMAKE_SOURCE_DIR}/include/)
list(APPEND LBC_PUBLIC_HEADERS ${CMAKE_SOURCE_DIR}/platform/FXErrorUtil.h)

# A folder of its own: the header names are too common for the bare include dir.
set(LBC_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/LiveBrowseCache)
set(LBC_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/LiveBrowseCache)

install(TARGETS LiveBrowseCache EXPORT LiveBrowseCacheTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${LBC_PUBLIC_HEADERS} DESTINATION ${LBC_INSTALL_INCLUDEDIR})

install(EXPORT LiveBrowseCacheTargets
  NAMESPACE LiveBrowseCache::
  DESTINATION ${LBC_INSTALL_CMAKEDIR})
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/LiveBrowseCacheConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/LiveBrowseCacheConfig.cmake
  INSTALL_DESTINATION ${LBC_INSTALL_CMAKEDIR})
write_basic_package_version_file(
  ${CMAKE_BINARY_DIR}/package/LiveBrowseCacheConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_BINARY_DIR}/package/LiveBrowseCacheConfig.cmake
  ${CMAKE_BINARY_DIR}/package/LiveBrowseCacheConfigVersion.cmake
  DESTINATION ${LBC_INSTALL_CMAKEDIR})

# The .pc file is written at install time: `cmake --install --prefix DIR`
# chooses the prefix only then.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(LBC_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(LBC_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
# Boost headers outside the compiler's own search path must reach the host too.
set(LBC_PC_BOOST_CFLAGS "")
foreach(dir ${Boost_INCLUDE_DIRS})
  if(NOT dir IN_LIST CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES)
    string(APPEND LBC_PC_BOOST_CFLAGS " -I${dir}")
  endif()
endforeach()
set(prefix "@prefix@")  # kept for the install-time pass
configure_file(${CMAKE_CURRENT_LIST_DIR}/livebrowsecache.pc.in
  ${CMAKE_BINARY_DIR}/package/livebrowsecache.pc.in @ONLY)
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${CMAKE_BINARY_DIR}/package/livebrowsecache.pc.in\"
    \"${CMAKE_BINARY_DIR}/package/livebrowsecache.pc\" @ONLY)")
install(FILES ${CMAKE_BINARY_DIR}/package/livebrowsecache.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
