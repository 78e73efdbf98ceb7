list(APPEND VQ_PORTABLE_SOURCES
  src/cloud/cloud_rules.cpp
)
list(APPEND VQ_WIN_SOURCES
  src/cloud/cloud_client.cpp
  src/cloud/cloud_client_record.cpp
  src/cloud/cloud_fetch.cpp
  src/cloud/cloud_download.cpp
)
