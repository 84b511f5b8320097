# Install rules and CPack: a .deb with the programs in /usr/bin, or a Windows .zip of one folder.
set(CPACK_PACKAGE_NAME connectivity-monitor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Console monitor of Internet reachability, with a report of outages")
set(CPACK_PACKAGE_CONTACT "Connectivity monitor maintainers <maintainers@connectivity-monitor.invalid>")
set(CPACK_STRIP_FILES ON)

if(WIN32)
    # One folder to unpack anywhere: the programs, the unattended launcher, the README as text.
    set(launcher ${PROJECT_SOURCE_DIR}/resources/connectivity-monitor-unattended.cmd)
    configure_file(${launcher} ${CMAKE_BINARY_DIR} COPYONLY) # beside the .exe in the build too
    file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
    string(REGEX REPLACE "\r?\n" "\r\n" readme "${readme}")
    file(WRITE ${CMAKE_BINARY_DIR}/README.txt "${readme}")
    install(TARGETS connectivity-monitor connectivity-report RUNTIME DESTINATION .)
    install(FILES ${launcher} ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME connectivity-monitor_${PROJECT_VERSION}_windows-x86_64)
else()
    include(GNUInstallDirs)
    install(TARGETS connectivity-monitor connectivity-report RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/connectivity-monitor)
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME connectivity-monitor_${PROJECT_VERSION}_amd64.deb)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
    set(CPACK_DEBIAN_PACKAGE_SECTION net)
    # What the two programs link against, as Debian 12 names it.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, libc-ares2 (>= 1.18)")
endif()
include(CPack)
