# What `cmake --install` puts where, and how CPack packs it: a Debian package from a native
# build, a zip from each Windows build (win32, win64). Each platform has an install set of its
# own, so that nothing of one package lands in the other. scripts/release drives them all.
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(tamber_docs ${PROJECT_BINARY_DIR}/docs)
# The release date as the changelog writes it, and as the time of every file in the packages.
execute_process(COMMAND date -u -R -d ${TAMBER_RELEASE_DATE}
                OUTPUT_VARIABLE TAMBER_RELEASE_DATE_RFC2822 OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND date -u +%s -d ${TAMBER_RELEASE_DATE}
                OUTPUT_VARIABLE TAMBER_RELEASE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
# The Windows build the texts are filled in for: win32, win64, or empty for the native build,
# whose manual describes both.
set(TAMBER_WINDOWS_BUILD)
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TAMBER_WINDOWS_BUILD win64)
  set(tamber_mingw_arch x86-64)
  set(TAMBER_README_BUILD [=[a 64-bit console program for x64 Windows. It runs on Windows XP Professional
x64 Edition and Server 2003 SP1, Vista to 11 for x64, and Windows 11 on ARM64
(through Windows' x64 emulation).]=])
elseif(WIN32)
  set(TAMBER_WINDOWS_BUILD win32)
  set(tamber_mingw_arch i686)
  set(TAMBER_README_BUILD [=[a 32-bit console program. It runs on Windows XP SP3, XP x64 and Server 2003
SP2, and Vista to 11 in 32 and 64 bits (on ARM64 through Windows' x86
emulation).]=])
endif()
configure_file(docs/tamberline.1 ${tamber_docs}/tamberline.1 @ONLY)

if(WIN32)
  # One folder to unzip and run from: the program, and plain-text documents in CR LF.
  find_program(TAMBER_GROFF groff REQUIRED)
  find_program(TAMBER_COL col REQUIRED)
  # The runtime linked statically into the .exe (mingw-w64's) asks for its notices to travel
  # with the program; Debian's package holds them.
  set(tamber_runtime_notices /usr/share/doc/mingw-w64-${tamber_mingw_arch}-dev/copyright)
  set(tamber_text_script ${PROJECT_SOURCE_DIR}/cmake/windows_text.cmake)
  # Filled in first, then given CR LF line ends as a whole, the filled-in lines too.
  configure_file(packaging/README.txt.in ${tamber_docs}/README.txt.lf @ONLY)
  add_custom_command(OUTPUT ${tamber_docs}/README.txt
    COMMAND ${CMAKE_COMMAND} -DIN=${tamber_docs}/README.txt.lf -DOUT=${tamber_docs}/README.txt
            -P ${tamber_text_script}
    DEPENDS ${tamber_docs}/README.txt.lf ${tamber_text_script}
    COMMENT "Writing README.txt with CR LF line ends")
  add_custom_command(OUTPUT ${tamber_docs}/tamberline.txt
    COMMAND ${CMAKE_COMMAND} -DIN=${tamber_docs}/tamberline.1 -DOUT=${tamber_docs}/tamberline.txt
            -DGROFF=${TAMBER_GROFF} -DCOL=${TAMBER_COL} -P ${tamber_text_script}
    DEPENDS ${tamber_docs}/tamberline.1 ${tamber_text_script}
    COMMENT "Rendering the manual page as text")
  add_custom_command(OUTPUT ${tamber_docs}/mingw-w64-copyright.txt
    COMMAND ${CMAKE_COMMAND} -DIN=${tamber_runtime_notices}
            -DOUT=${tamber_docs}/mingw-w64-copyright.txt -P ${tamber_text_script}
    DEPENDS ${tamber_runtime_notices} ${tamber_text_script}
    COMMENT "Copying the mingw-w64 runtime's notices")
  add_custom_command(OUTPUT ${tamber_docs}/LICENSE.txt
    COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/LICENSE -DOUT=${tamber_docs}/LICENSE.txt
            -P ${tamber_text_script}
    DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE ${tamber_text_script}
    COMMENT "Writing LICENSE.txt with CR LF line ends")
  add_custom_target(tamber_windows_docs ALL
    DEPENDS ${tamber_docs}/README.txt ${tamber_docs}/tamberline.txt
            ${tamber_docs}/mingw-w64-copyright.txt ${tamber_docs}/LICENSE.txt)

  install(TARGETS tamberline RUNTIME DESTINATION .)
  install(FILES ${tamber_docs}/README.txt ${tamber_docs}/tamberline.txt
                ${tamber_docs}/mingw-w64-copyright.txt ${tamber_docs}/LICENSE.txt
          DESTINATION .)
  # scripts/release signs the .exe as of the release date, which it reads here.
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/release-epoch
       CONTENT "@TAMBER_RELEASE_EPOCH@\n" @ONLY)
else()
  # The Debian layout: the manual page and the changelog gzipped, the copyright plain.
  find_program(TAMBER_GZIP gzip REQUIRED)
  configure_file(packaging/changelog.in ${tamber_docs}/changelog @ONLY)
  foreach(doc tamberline.1 changelog)
    # -n: no name and no time stamp in the gzip header, so the same text gives the same bytes.
    add_custom_command(OUTPUT ${tamber_docs}/${doc}.gz
      COMMAND ${TAMBER_GZIP} -9n -c ${tamber_docs}/${doc} > ${tamber_docs}/${doc}.gz
      DEPENDS ${tamber_docs}/${doc}
      VERBATIM)
  endforeach()
  add_custom_target(tamber_docs ALL
    DEPENDS ${tamber_docs}/tamberline.1.gz ${tamber_docs}/changelog.gz)

  install(TARGETS tamberline RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${tamber_docs}/tamberline.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${tamber_docs}/changelog.gz packaging/copyright
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME tamberline)
set(CPACK_PACKAGE_VENDOR "the Tamberline developers")
set(CPACK_PACKAGE_CONTACT "Tamberline developers <tamberline@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "list a directory or copy a file from an NFS version 3 server")
set(CPACK_PACKAGE_DESCRIPTION [=[
Tamberline is a small command-line client for NFS version 3 servers. It lists
one directory of an export, or copies one file out of it, without mounting
anything and without root rights: it speaks ONC RPC over TCP to the server's
portmapper, mount daemon and NFS server, as user and group 65534.]=])
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${TAMBER_WINDOWS_BUILD})
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
# CPack dates the packed files by SOURCE_DATE_EPOCH: the release date, not the build time, so
# that the packages' bytes follow from the sources alone.
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake
     CONTENT "set(ENV{SOURCE_DATE_EPOCH} @TAMBER_RELEASE_EPOCH@)\n" @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake)
include(CPack)
