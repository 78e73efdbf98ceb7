list(APPEND VQ_WIN_SOURCES
  src/machine/work_folder.cpp
)
