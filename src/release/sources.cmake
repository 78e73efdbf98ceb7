list(APPEND VQ_PORTABLE_SOURCES
  src/release/json.cpp
  src/release/version.cpp
  src/release/envelope.cpp
  src/release/manifest.cpp
  src/release/ed25519.cpp
  src/release/verify.cpp
  src/release/trusted_keys.cpp
  src/release/freshness.cpp
)
