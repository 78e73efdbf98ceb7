# End-to-end scenarios of the setup executable under Wine against the
# reference cloud (and nginx serving the same folder) on the test build's
# cloud port: one ctest test per group.
# The window group needs the Xvfb display of the Wine environment; its
# screenshots are kept in the build tree as artefacts. The disk group mounts
# size-limited tmpfs file systems over the prefix's ProgramData (root only).
# The tls group's refused servers each cost a run's eight attempts with their
# full back-off (about two minutes), hence its longer time-out.
if(VQ_WIN_BUILD_DIR)
  foreach(group release download install links nginx window disk tls)
    add_test(NAME e2e.${group}
      COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/e2e.py ${group}
              --win-dir ${VQ_WIN_BUILD_DIR} --native-dir ${CMAKE_BINARY_DIR}
              --artefacts ${CMAKE_BINARY_DIR}/artefacts/e2e)
    set(timeout 450)
    if(group STREQUAL "tls")
      set(timeout 900)
    endif()
    set_tests_properties(e2e.${group} PROPERTIES TIMEOUT ${timeout}
      RESOURCE_LOCK "wine;cloud-port" LABELS e2e)
  endforeach()
  # What other programs meet: another process reaching for the running
  # installer, and squid between the program and the cloud (started per
  # scenario on a free port of the test's network namespace).
  foreach(group hold proxy)
    add_test(NAME e2e.${group}
      COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/probes.py ${group}
              --win-dir ${VQ_WIN_BUILD_DIR} --native-dir ${CMAKE_BINARY_DIR}
              --artefacts ${CMAKE_BINARY_DIR}/artefacts/e2e)
    set_tests_properties(e2e.${group} PROPERTIES TIMEOUT 300
      RESOURCE_LOCK "wine;cloud-port" LABELS e2e)
  endforeach()
endif()
