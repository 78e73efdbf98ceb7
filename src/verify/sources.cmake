list(APPEND VQ_PORTABLE_SOURCES
  src/verify/authenticode_rules.cpp
)
list(APPEND VQ_WIN_SOURCES
  src/verify/digest.cpp
  src/verify/authenticode.cpp
)
