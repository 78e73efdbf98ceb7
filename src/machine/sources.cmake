list(APPEND VQ_PORTABLE_SOURCES
  src/machine/installer_command.cpp
  src/machine/rollback_rules.cpp
)
list(APPEND VQ_WIN_SOURCES
  src/machine/work_folder.cpp
  src/machine/installer.cpp
  src/machine/rollback.cpp
)
