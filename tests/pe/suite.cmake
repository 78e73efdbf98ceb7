# Facts of the built setup executable, and the reproducibility of its build.
# The production image is compared with the test image for the test build's
# checking guard dispatch.
set(VQ_PE_CHECKING_IMAGE_test "")
set(VQ_PE_CHECKING_IMAGE_production
  --checking-image ${CMAKE_SOURCE_DIR}/build/win-test/VornquillAI-Online-Setup-x64-SELFSIGNED.exe)
foreach(profile test production)
  add_test(NAME pe.facts.${profile}
    COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tests/pe/check_pe.py
            --profile ${profile} --source ${CMAKE_SOURCE_DIR} ${VQ_PE_CHECKING_IMAGE_${profile}}
            ${CMAKE_SOURCE_DIR}/build/win-${profile}/VornquillAI-Online-Setup-x64-SELFSIGNED.exe
            WINHTTP.dll bcrypt.dll WINTRUST.dll CRYPT32.dll COMCTL32.dll)
  add_test(NAME pe.sbom.${profile}
    COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tests/pe/check_sbom.py
            ${CMAKE_SOURCE_DIR}/build/win-${profile} ${CMAKE_SOURCE_DIR})
endforeach()
add_test(NAME pe.reproducible COMMAND ${CMAKE_SOURCE_DIR}/tests/pe/reproducible.sh production)
# Two whole builds: started early (COST) in a first ctest -j run.
set_tests_properties(pe.reproducible PROPERTIES TIMEOUT 600 COST 170)
