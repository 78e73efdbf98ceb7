list(APPEND VQ_PORTABLE_SOURCES
  src/machine/disk_space.cpp
)
list(APPEND VQ_WIN_SOURCES
  src/machine/work_folder.cpp
  src/machine/installed.cpp
)
