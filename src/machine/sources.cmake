list(APPEND VQ_PORTABLE_SOURCES
  src/machine/installer_command.cpp
  src/machine/rollback_rules.cpp
  src/machine/disk_space.cpp
)
list(APPEND VQ_WIN_SOURCES
  src/machine/work_folder.cpp
  src/machine/installer.cpp
  src/machine/rollback.cpp
  src/machine/installed.cpp
)
