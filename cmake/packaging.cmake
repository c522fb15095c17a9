# Installation extras and the Windows packages: the manual page on Linux
# and other POSIX systems; on Windows a zip of the programs, the header, the
# README and the LICENSE (the MSI is made by scripts/package from
# packaging/windows/). The Debian packages are made by debhelper from
# debian/ (dpkg-buildpackage), which takes what `cmake --install` puts in
# place and adds the systemd service.
set(VORLIX_PROGRAM tarvelin-quillmoor-nfs-v3-file-server)

if(WIN32)
  install(FILES README.md LICENSE DESTINATION .)
else()
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VORLIX_PROGRAM})
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VORLIX_PROGRAM} RENAME copyright)
  install(FILES docs/${VORLIX_PROGRAM}.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
endif()

# The zip of the Windows form (cpack -G ZIP).
if(WIN32)
  set(CPACK_PACKAGE_NAME ${VORLIX_PROGRAM})
  set(CPACK_PACKAGE_VENDOR "tarvelin-quillmoor")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Read-only NFS version 3 file server")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_RESOURCE_FILE_README ${CMAKE_SOURCE_DIR}/README.md)
  set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
  set(CPACK_PACKAGE_CHECKSUM SHA256)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${VORLIX_PROGRAM}-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  include(CPack)
endif()

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
