# Runs the cross-built tests under Wine, in a private prefix inside the build tree.
find_program(WINE64 wine64 PATHS /usr/lib/wine REQUIRED)
find_program(WINESERVER wineserver PATHS /usr/lib/wine REQUIRED)
set(WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(WINE_RUN ${CMAKE_BINARY_DIR}/wine-run)
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_RUN})

# Wine's services start once per test run; the emulator also starts them if discovery comes first.
add_test(NAME wine.start COMMAND ${WINE_RUN} --start)
add_test(NAME wine.stop COMMAND ${WINE_RUN} --stop)
set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine)
set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine)
set(MONITOR_WINDOWS_TEST_PROPERTIES FIXTURES_REQUIRED wine)
