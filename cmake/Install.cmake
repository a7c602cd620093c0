# What `cmake --install` puts into the prefix, and the packages CPack builds
# from it:
#
#   include/qel32.h
#   lib/libqel32.so.1.x.y, libqel32.so.1 (soname), libqel32.so   (Linux)
#   bin/QEL32.dll, lib/libQEL32.dll.a, lib/QEL32.def              (Windows)
#   bin/qelmail, bin/qel-maildrop (Linux only), share/man/man1/*.1
#   lib/cmake/qel32/ (find_package(qel32) -> qel32::qel32), lib/pkgconfig/qel32.pc
#
# cpack -G DEB gives the Debian package on Linux; cpack -G ZIP the archive of
# the Windows build.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qel32)

install(TARGETS qel32 EXPORT qel32Targets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/qel32.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
  install(FILES ${QEL_DEF_FILE} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

foreach(tool qelmail qel-maildrop)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    # The tools find the library beside them in any prefix.
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/tools/qelmail/qelmail.1 ${PROJECT_SOURCE_DIR}/tools/maildrop/qel-maildrop.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The CMake package.
install(EXPORT qel32Targets NAMESPACE qel32:: DESTINATION ${QEL_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/qel32Config.cmake.in
                              ${PROJECT_BINARY_DIR}/qel32Config.cmake INSTALL_DESTINATION ${QEL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qel32ConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qel32Config.cmake ${PROJECT_BINARY_DIR}/qel32ConfigVersion.cmake
        DESTINATION ${QEL_CMAKE_DIR})

# pkg-config: the prefix relative to the .pc file's own directory.
file(RELATIVE_PATH QEL_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/qel32.pc.in ${PROJECT_BINARY_DIR}/qel32.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qel32.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Packages.
set(CPACK_PACKAGE_NAME qel32)
set(CPACK_PACKAGE_VENDOR "QEL developers")
set(CPACK_PACKAGE_CONTACT "QEL developers <qel@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "E-mail client library with a C interface (SMTP, POP3, MIME)")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES OFF)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "QEL sends mail through SMTP and reads it from POP3 on numbered channels\n driven by one step function. With the command-line client qelmail and the\n loopback mail drop qel-maildrop.")
  find_program(QEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(QEL_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libssl3")
  endif()
endif()
include(CPack)
