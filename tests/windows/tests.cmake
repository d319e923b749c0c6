# The Windows build (scripts/build-windows) under Wine: the end-to-end table and
# the Windows-only behaviour. Added only when that build exists.
set(LUMICOUNT_WINDOWS_EXE ${CMAKE_SOURCE_DIR}/build-windows/lumicount.exe)
find_program(WINE_PROGRAM wine)
find_program(WINESERVER_PROGRAM wineserver)
find_program(WINEBOOT_PROGRAM wineboot)

if(EXISTS ${LUMICOUNT_WINDOWS_EXE} AND WINE_PROGRAM AND WINESERVER_PROGRAM AND WINEBOOT_PROGRAM)
  set(WINE_TEST_DIR ${CMAKE_CURRENT_SOURCE_DIR}/windows)
  # A prefix of our own, made fresh per test run: never the user's ~/.wine.
  # mscoree and mshtml off: no Mono or Gecko install prompts in a headless prefix.
  set(WINE_TEST_ENVIRONMENT
    WINEPREFIX=${CMAKE_CURRENT_BINARY_DIR}/wine-prefix
    WINEDEBUG=-all
    WINEDLLOVERRIDES=mscoree,mshtml=)

  add_test(NAME wine_prefix_setup COMMAND ${WINE_TEST_DIR}/wine_prefix.sh setup)
  add_test(NAME wine_prefix_cleanup COMMAND ${WINE_TEST_DIR}/wine_prefix.sh cleanup)
  set_tests_properties(wine_prefix_setup PROPERTIES FIXTURES_SETUP wine TIMEOUT 300
    ENVIRONMENT "${WINE_TEST_ENVIRONMENT}")
  set_tests_properties(wine_prefix_cleanup PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60
    ENVIRONMENT "${WINE_TEST_ENVIRONMENT}")

  add_test(NAME wine_e2e COMMAND $<TARGET_FILE:e2e_tests>)
  add_test(NAME wine_information_page
    COMMAND ${WINE_TEST_DIR}/information_page.sh ${LUMICOUNT_WINDOWS_EXE} ${WINE_PROGRAM})
  # Both read the prefix's registry, which the page test rewrites.
  set_tests_properties(wine_e2e wine_information_page PROPERTIES
    FIXTURES_REQUIRED wine
    RESOURCE_LOCK wine_registry
    TIMEOUT 900)
  set_tests_properties(wine_e2e PROPERTIES ENVIRONMENT
    "LUMICOUNT_BIN=${LUMICOUNT_WINDOWS_EXE};LUMICOUNT_LAUNCHER=${WINE_PROGRAM};${WINE_TEST_ENVIRONMENT}")
  set_tests_properties(wine_information_page PROPERTIES ENVIRONMENT "${WINE_TEST_ENVIRONMENT}")
else()
  message(STATUS "Wine suites skipped: build-windows/lumicount.exe or Wine is missing (scripts/build-windows)")
endif()
