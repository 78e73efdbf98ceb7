# The administrator's guide in README.md against the source.
add_test(NAME docs.admin-guide
  COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/docs/test_admin_guide.py ${CMAKE_SOURCE_DIR})
# The floors of src/ in the README's layout section against the includes.
add_test(NAME docs.include-floors
  COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/docs/test_include_floors.py ${CMAKE_SOURCE_DIR})
# SECURITY.md's tables of attacks against the tests of this tree: every test
# and scenario they name exists.
add_test(NAME docs.security
  COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/docs/test_security.py ${CMAKE_SOURCE_DIR}
          ${CMAKE_BINARY_DIR})
# The README's figures about the build against the built files.
add_test(NAME docs.readme-figures
  COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/docs/test_readme_figures.py ${CMAKE_SOURCE_DIR}
          ${CMAKE_SOURCE_DIR}/build/win-production/VornquillAI-Online-Setup-x64-SELFSIGNED.exe)
