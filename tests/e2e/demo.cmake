# The demo's own tests: when a window is pictured (no Wine), and the demo's
# page in a real browser: a quick demo run writes it into demo-check/ of
# this folder, headless Chromium opens it, and every picture on it must
# have loaded.
add_test(NAME e2e.pictures COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/pictures_test.py)
set_tests_properties(e2e.pictures PROPERTIES TIMEOUT 60)

add_test(NAME e2e.demo_page COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/page_check.py
  --build ${CMAKE_BINARY_DIR} --wine ${WINE64} --out ${CMAKE_BINARY_DIR}/demo-check)
set_tests_properties(e2e.demo_page PROPERTIES FIXTURES_REQUIRED e2e_prefix
  RESOURCE_LOCK wine_e2e TIMEOUT 300)
