# Installing the maker's toolkit, and its Debian package (cpack).
#
#   bin/patchkit                           the tool
#   lib/vaskpatch/vaskpatch                the Linux patcher stub
#   share/vaskpatch/stubs/VaskPatch.exe    the Windows patcher stub
#   share/man/man1/patchkit.1              the manual page
#
# The Linux stub is a program of the host's architecture, so it sits under
# lib/; the Windows stub is the same file on every host, so it is data under
# share/. Neither is run on the host (both are copied into patches), so
# neither is in bin/. patchkit finds them from its own place (bin/..), so the
# installed tree can be moved as a whole. The Windows stub comes from the
# cross-build: VASK_WINDOWS_STUB names it for a native build, and it is
# installed when it exists at install time; the cross-build installs its own.
set(VASK_WINDOWS_STUB "" CACHE FILEPATH
    "VaskPatch.exe of the Windows cross-build, installed beside a native patchkit")
set(VASK_LINUX_STUB_DIR lib/vaskpatch)
set(VASK_WINDOWS_STUB_DIR share/vaskpatch/stubs)

target_compile_definitions(patchkit PRIVATE
  VASK_LINUX_STUB_DIR="${VASK_LINUX_STUB_DIR}"
  VASK_WINDOWS_STUB_DIR="${VASK_WINDOWS_STUB_DIR}")

install(TARGETS patchkit RUNTIME DESTINATION bin)
if(WIN32)
  install(TARGETS vaskpatch RUNTIME DESTINATION ${VASK_WINDOWS_STUB_DIR})
else()
  install(TARGETS vaskpatch RUNTIME DESTINATION ${VASK_LINUX_STUB_DIR})
  if(VASK_WINDOWS_STUB)
    install(FILES ${VASK_WINDOWS_STUB} DESTINATION ${VASK_WINDOWS_STUB_DIR}
            OPTIONAL)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/tools/patchkit.1
          DESTINATION share/man/man1)
endif()

set(CPACK_PACKAGE_NAME vask-patchkit)
if(PROJECT_VERSION)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
else()
  set(CPACK_PACKAGE_VERSION 1.0.0)
endif()
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Builds and inspects VASK patch executables for Windows and Linux")
set(CPACK_PACKAGE_CONTACT "Lorvenest <patchkit@lorvenest.invalid>")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Signing with `patchkit build --sign` runs osslsigncode.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS osslsigncode)
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
