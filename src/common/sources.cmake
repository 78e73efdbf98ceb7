list(APPEND VQ_PORTABLE_SOURCES
  src/common/text.cpp
  src/common/memory.cpp
  src/common/constants.cpp
  src/common/log_format.cpp
)
list(APPEND VQ_WIN_SOURCES
  src/common/file.cpp
  src/common/log.cpp
)
