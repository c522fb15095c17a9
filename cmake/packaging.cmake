# Installation extras and packages: on Linux the systemd service (unit,
# settings under /etc/default, start script) and a .deb made by CPack; on
# Windows a zip of the programs, the header, the README and the LICENSE (the
# MSI is made by scripts/package from packaging/windows/). The license goes
# beside the README: on Linux as the package's copyright file.
set(VORLIX_PROGRAM tarvelin-quillmoor-nfs-v3-file-server)

if(WIN32)
  install(FILES README.md LICENSE DESTINATION .)
else()
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VORLIX_PROGRAM})
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VORLIX_PROGRAM} RENAME copyright)
endif()

if(NOT WIN32)
  # The service's files go only into the package (component "service",
  # left out of a plain `cmake --install`): /etc/default lies outside any
  # prefix.
  set(VORLIX_SERVICE_START ${CMAKE_INSTALL_FULL_LIBEXECDIR}/${VORLIX_PROGRAM}/service-start)
  set(pkg_src ${CMAKE_SOURCE_DIR}/packaging/debian)
  set(pkg_out ${CMAKE_BINARY_DIR}/packaging)
  configure_file(${pkg_src}/unit.service.in ${pkg_out}/${VORLIX_PROGRAM}.service @ONLY)
  configure_file(${pkg_src}/default.in ${pkg_out}/default/${VORLIX_PROGRAM} @ONLY)
  configure_file(${pkg_src}/service-start.in ${pkg_out}/service-start @ONLY)
  foreach(script postinst prerm postrm)
    configure_file(${pkg_src}/${script}.in ${pkg_out}/control/${script} @ONLY
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endforeach()
  file(WRITE ${pkg_out}/control/conffiles "/etc/default/${VORLIX_PROGRAM}\n")
  install(FILES ${pkg_out}/${VORLIX_PROGRAM}.service DESTINATION lib/systemd/system
    COMPONENT service EXCLUDE_FROM_ALL)
  install(FILES ${pkg_out}/default/${VORLIX_PROGRAM} DESTINATION /etc/default
    COMPONENT service EXCLUDE_FROM_ALL)
  install(PROGRAMS ${pkg_out}/service-start DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/${VORLIX_PROGRAM}
    COMPONENT service EXCLUDE_FROM_ALL)
endif()

set(CPACK_PACKAGE_NAME ${VORLIX_PROGRAM})
set(CPACK_PACKAGE_VENDOR "tarvelin-quillmoor")
set(CPACK_PACKAGE_CONTACT "tarvelin-quillmoor maintainers <maintainers@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Read-only NFS version 3 file server")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_README ${CMAKE_SOURCE_DIR}/README.md)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${VORLIX_PROGRAM}-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  # One package with the service's files as well.
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENTS_ALL Unspecified service)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${pkg_out}/control/postinst ${pkg_out}/control/prerm ${pkg_out}/control/postrm ${pkg_out}/control/conffiles)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)

# The Windows installer (wixl from msitools): `cmake --build . --target msi`.
# wixl takes the files from beside the .wxs, by their names.
if(WIN32)
  find_program(VORLIX_WIXL wixl)
  set(msi_dir ${CMAKE_BINARY_DIR}/packaging)
  set(VORLIX_EXE ${VORLIX_PROGRAM}.exe)
  set(VORLIX_DLL vorlix.dll)
  set(VORLIX_README README.md)
  set(VORLIX_LICENSE LICENSE)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/installer.wxs.in ${msi_dir}/installer.wxs @ONLY)
  if(VORLIX_WIXL)
    set(msi ${CMAKE_BINARY_DIR}/${VORLIX_PROGRAM}-${PROJECT_VERSION}-win64.msi)
    # The program and the library go in stripped, as in the zip (CPack
    # strips those): the symbols are for debugging the build, not for users.
    add_custom_command(OUTPUT ${msi}
      COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${VORLIX_PROGRAM}> $<TARGET_FILE:vorlix>
              ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE ${msi_dir}/
      COMMAND ${CMAKE_STRIP} --strip-unneeded ${msi_dir}/${VORLIX_EXE} ${msi_dir}/${VORLIX_DLL}
      COMMAND ${VORLIX_WIXL} -a x64 -o ${msi} installer.wxs
      WORKING_DIRECTORY ${msi_dir}
      DEPENDS ${msi_dir}/installer.wxs ${VORLIX_PROGRAM} vorlix ${CMAKE_SOURCE_DIR}/README.md
              ${CMAKE_SOURCE_DIR}/LICENSE
      COMMENT "Building the Windows installer")
    add_custom_target(msi DEPENDS ${msi})
  endif()
endif()
