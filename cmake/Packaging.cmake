# Install rules and CPack: the usual places under any prefix and a .deb on Linux; one folder
# (a .zip) on Windows.
set(CPACK_PACKAGE_NAME connectivity-monitor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Monitor of Internet reachability that finds out why it failed, with a report")
set(CPACK_PACKAGE_CONTACT "Connectivity monitor maintainers <maintainers@connectivity-monitor.invalid>")
set(CPACK_STRIP_FILES ON)
set(packaging ${PROJECT_SOURCE_DIR}/packaging)

# Text files as Windows' own editors expect them: CR LF, and .txt to open with a double-click.
function(windows_text source destination)
    file(READ ${source} text)
    string(REGEX REPLACE "\r?\n" "\r\n" text "${text}")
    file(WRITE ${destination} "${text}")
endfunction()

if(WIN32)
    # One folder to unpack anywhere: the programs, the launchers, README and licence.
    set(launchers ${PROJECT_SOURCE_DIR}/resources/connectivity-monitor-unattended.cmd
        ${PROJECT_SOURCE_DIR}/resources/outage-report.cmd)
    file(COPY ${launchers} DESTINATION ${CMAKE_BINARY_DIR}) # beside the .exe in the build too
    windows_text(${PROJECT_SOURCE_DIR}/README.md ${CMAKE_BINARY_DIR}/README.txt)
    windows_text(${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_BINARY_DIR}/LICENSE.txt)
    install(TARGETS connectivity-monitor connectivity-watch connectivity-report RUNTIME DESTINATION .)
    install(FILES ${launchers} ${CMAKE_BINARY_DIR}/README.txt ${CMAKE_BINARY_DIR}/LICENSE.txt
        DESTINATION .)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME connectivity-monitor_${PROJECT_VERSION}_windows-x86_64)

    # The installer, from our own script: CPack's stock NSIS one installs for all users, elevated.
    find_program(MAKENSIS makensis)
    if(MAKENSIS)
        set(FILES_DIR ${CMAKE_BINARY_DIR}/installer-files)
        set(LICENSE_TEXT ${CMAKE_BINARY_DIR}/LICENSE.txt)
        set(INSTALLER_PATH ${CMAKE_BINARY_DIR}/connectivity-monitor-${PROJECT_VERSION}-setup.exe)
        configure_file(${packaging}/windows/installer.nsi.in ${CMAKE_BINARY_DIR}/installer.nsi @ONLY)
        add_custom_command(OUTPUT ${INSTALLER_PATH}
            COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${FILES_DIR}
            COMMAND ${MAKENSIS} -V2 -NOCD ${CMAKE_BINARY_DIR}/installer.nsi
            DEPENDS connectivity-monitor connectivity-watch connectivity-report ${launchers}
                ${CMAKE_BINARY_DIR}/installer.nsi
            COMMENT "Making the installer with makensis" VERBATIM)
        add_custom_target(installer ALL DEPENDS ${INSTALLER_PATH})
    else()
        message(STATUS "makensis not found (Debian's nsis): no Windows installer")
    endif()
else()
    include(GNUInstallDirs)
    set(docdir ${CMAKE_INSTALL_DATADIR}/doc/connectivity-monitor)
    install(TARGETS connectivity-monitor connectivity-watch connectivity-report
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

    # Manual pages and the changelog compressed as Debian's policy asks; the same for any prefix.
    set(compressed)
    foreach(source man/connectivity-monitor.1 man/connectivity-watch.1 man/connectivity-report.1
            debian/changelog)
        get_filename_component(name ${source} NAME)
        set(output ${CMAKE_BINARY_DIR}/packaging/${name}.gz)
        add_custom_command(OUTPUT ${output}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
            COMMAND gzip -9nc ${packaging}/${source} > ${output}
            DEPENDS ${packaging}/${source} VERBATIM)
        list(APPEND compressed ${output})
    endforeach()
    add_custom_target(compressed_docs ALL DEPENDS ${compressed})
    list(POP_BACK compressed changelog)
    install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES README.md ${changelog} ${packaging}/debian/copyright DESTINATION ${docdir})
    # Prometheus' alerting rules, and their unit tests, for a monitoring server to load.
    install(FILES ${packaging}/prometheus/connectivity.rules.yml
        ${packaging}/prometheus/connectivity.rules.test.yml DESTINATION ${docdir}/prometheus)

    # The user units name the programs where they are installed: the prefix is known only then
    # (cpack installs under /usr, cmake --install wherever --prefix says).
    foreach(unit connectivity-monitor.service connectivity-report-metrics.service
            connectivity-report-metrics.timer)
        install(CODE "
            file(READ [[${packaging}/systemd/${unit}]] text)
            string(REPLACE /usr/bin/ \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\" text \"\${text}\")
            set(unit \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/user/${unit}\")
            message(STATUS \"Installing: \${unit}\")
            file(WRITE \${unit} \"\${text}\")")
    endforeach()

    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME connectivity-monitor_${PROJECT_VERSION}_amd64.deb)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
    set(CPACK_DEBIAN_PACKAGE_SECTION net)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON) # Depends from what the binaries link, via dpkg-shlibdeps
    # CPack puts the summary above this as the synopsis.
    set(CPACK_PACKAGE_DESCRIPTION "A small program for anyone who wants to know when their Internet connection
drops. Every 30 seconds it checks whether a TCP connection to a large web
site can be made, within one 10-second deadline that includes name
resolution, and appends a time-stamped line to connectivityLog.txt when it
cannot.
.
connectivity-watch runs it, records when it was watching, finds out why each
check failed (the local network, name service, the provider or the site),
measures round trips and loss while the connection is up, and says on the
desktop when the connection drops, degrades and returns. A systemd user
service keeps it running.
.
connectivity-report turns the log and that record into outages, watched
time, availability, causes and quality: a summary, CSV for a spreadsheet, a
self-contained HTML page with a timeline, charts and a calendar, and metrics
for the textfile collector of the Prometheus node exporter, with alerting
rules.")
endif()
include(CPack)
