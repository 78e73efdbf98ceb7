list(APPEND VQ_PORTABLE_SOURCES
  src/ui/progress_rules.cpp
)
list(APPEND VQ_WIN_SOURCES
  src/ui/bridge.cpp
)
list(APPEND VQ_WIN_SOURCES
  src/ui/window.cpp
)
