list(APPEND VQ_PORTABLE_SOURCES
  src/setup/options.cpp
  src/setup/startup_rules.cpp
)
list(APPEND VQ_WIN_SOURCES
  src/setup/options_win.cpp
  src/setup/startup.cpp
  src/setup/instance.cpp
  src/setup/flow.cpp
  src/setup/stages.cpp
  src/setup/stage_release.cpp
  src/setup/stage_download.cpp
  src/setup/stage_install.cpp
)
