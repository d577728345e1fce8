# Install rules beyond the libraries and headers (src/CMakeLists.txt): the CMake
# package, quillet.pc, the documentation, and the Debian package built by CPack.
include(CMakePackageConfigHelpers)

set(QUILLET_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quillet)
set(QUILLET_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/quillet)

install(EXPORT QuilletTargets NAMESPACE Quillet:: DESTINATION ${QUILLET_CMAKE_DIR})
configure_package_config_file(cmake/QuilletConfig.cmake.in ${PROJECT_BINARY_DIR}/QuilletConfig.cmake
  INSTALL_DESTINATION ${QUILLET_CMAKE_DIR})
# Before 1.0 a minor release may break the interface: 0.2 accepts 0.2.x only.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QuilletConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QuilletConfig.cmake ${PROJECT_BINARY_DIR}/QuilletConfigVersion.cmake
  DESTINATION ${QUILLET_CMAKE_DIR})

# quillet.pc finds its prefix from its own place, so a copied or unpacked tree works too.
file(RELATIVE_PATH QUILLET_PC_PREFIX_FROM_PCFILEDIR
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" QUILLET_PC_PREFIX_FROM_PCFILEDIR "${QUILLET_PC_PREFIX_FROM_PCFILEDIR}")
configure_file(cmake/quillet.pc.in ${PROJECT_BINARY_DIR}/quillet.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quillet.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES README.md DESTINATION ${QUILLET_DOC_DIR})
# The API reference, when the docs target built it (scripts/check-install.sh does).
install(DIRECTORY ${PROJECT_BINARY_DIR}/docs/api/html/ DESTINATION ${QUILLET_DOC_DIR}/api OPTIONAL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_VENDOR "Quillet developers")
set(CPACK_PACKAGE_CONTACT "Quillet developers <quillet-dev@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Quillet media library: play, record and serve video with sound")
set(CPACK_PACKAGE_DESCRIPTION
  "A C++ media library on FFmpeg that applications load to play files, URLs and RTSP cameras, record them with sync points and serve them to remote viewers. Includes the headers, the CMake package, quillet.pc and the C# assembly Quillet.FFWrapperCLI.dll (lib/cli/quillet).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# Depends: the Debian run-time packages of the libraries we link, from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# shlibs file and ldconfig trigger for the two shared libraries.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The Python package in /usr/lib/python3/dist-packages/quillet/ wants the interpreter it was built
# for and NumPy; C++ applications do not, so they are recommended, not required.
if(QUILLET_PYTHON_DEPENDS)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "${QUILLET_PYTHON_DEPENDS}")
endif()
include(CPack)
