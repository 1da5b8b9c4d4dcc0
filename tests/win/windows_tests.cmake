# The Windows tests under Wine, included from the WIN32 branch of
# tests/CMakeLists.txt:
#   - the CTest fixture `wine` (TALVORO_WINE_FIXTURE): wine.up makes the
#     prefix build-dir/wine-prefix once and starts its Xvfb and persistent
#     wineserver, wine.down stops them (tests/win/wine-prefix.sh). Every
#     Windows test sets FIXTURES_REQUIRED ${TALVORO_WINE_FIXTURE}; the
#     programs run through tests/win/wine-run.sh (the build's
#     CMAKE_CROSSCOMPILING_EMULATOR);
#   - small Windows tools of the tests (tests/win/*.c), and the DLLs that
#     the tests plant beside the program (build-dir/planted-dlls);
#   - the check that the shipped programs import only DLLs that Windows
#     always takes from its own folder;
#   - the end-to-end cases and the fault matrix groups of e2e_test.py and
#     fault_matrix.py in their Windows mode (--windows).
set(TALVORO_WINE_FIXTURE wine)
set(win_dir ${CMAKE_CURRENT_LIST_DIR})

# talvoro-win-close-window.exe TITLE [IMAGE]: posts WM_CLOSE (as Alt+F4).
# talvoro-win-test-launcher.exe: the published launcher of the tests.
# talvoro-win-trust-ca.exe CA.pem: trusts the test CA inside the prefix.
# GUI programs, so that Wine opens no console for them.
foreach(tool close_window test_launcher trust_ca)
  string(REPLACE "_" "-" name "talvoro-win-${tool}")
  add_executable(${name} WIN32 ${win_dir}/${tool}.c)
  target_compile_options(${name} PRIVATE -municode)
  target_link_options(${name} PRIVATE -municode)
endforeach()
target_link_libraries(talvoro-win-test-launcher PRIVATE bcrypt)
target_link_libraries(talvoro-win-trust-ca PRIVATE crypt32)
# Small, so that the end-to-end cases can publish launchers from 64 KiB.
target_link_options(talvoro-win-test-launcher PRIVATE -s)

# A copy of the program that starts only launchers signed by the test
# publisher of the code-signing PKI, made when the build is configured
# (win/make-codesign-pki.sh); the prefix trusts its root.
set(codesign ${CMAKE_BINARY_DIR}/codesign)
if(NOT EXISTS ${codesign}/publisher.sha256)
  execute_process(COMMAND ${win_dir}/make-codesign-pki.sh ${codesign}
                  RESULT_VARIABLE made)
  if(NOT made EQUAL 0)
    message(FATAL_ERROR "making the code-signing PKI failed")
  endif()
endif()
file(STRINGS ${codesign}/publisher.sha256 test_signer LIMIT_COUNT 1)
talvoro_bootstrap_program(talvoro-bootstrap-loopback-signed
  "${TALVORO_TEST_URL}" SIGNERS "${test_signer}")
# A copy that signs in to a proxy with a test identity through the same
# SSPI calls (Wine has no credentials of the logged-on user for NTLM).
talvoro_bootstrap_program(talvoro-bootstrap-loopback-sign-in
  "${TALVORO_TEST_URL}" ${win_dir}/../sign_in_identity_main.cc)

# planted-dlls/NAME.dll: tests/win/planted_dll.c under the name of a DLL
# that the program loads, or that system DLLs load on its behalf, and that
# is not one of the system's known DLLs. e2e_test.py plants them all.
foreach(dll crypt32 cryptbase cryptsp dwmapi dxgi msimg32 schannel secur32
        uxtheme version winhttp wintrust)
  add_library(planted-${dll} SHARED ${win_dir}/planted_dll.c)
  set_target_properties(planted-${dll} PROPERTIES OUTPUT_NAME ${dll}
    PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/planted-dlls)
  list(APPEND planted_dlls planted-${dll})
endforeach()
add_custom_target(planted-dlls ALL DEPENDS ${planted_dlls})
add_dependencies(app_test planted-dlls)

# Every program a user gets (and the loopback copies the tests run, built
# from the same code) imports only DLLs from the allow-list in the script.
add_test(NAME imports.system_dlls_only
  COMMAND ${win_dir}/check-imports.sh ${CMAKE_OBJDUMP}
          $<TARGET_FILE:talvoro-bootstrap> $<TARGET_FILE:talvoro-crc64>
          $<TARGET_FILE:talvoro-bootstrap-loopback>
          $<TARGET_FILE:talvoro-bootstrap-loopback-short-timeouts>
          $<TARGET_FILE:talvoro-bootstrap-loopback-signed>)

add_test(NAME wine.up
  COMMAND ${win_dir}/wine-prefix.sh up ${CMAKE_BINARY_DIR})
set_tests_properties(wine.up PROPERTIES
  FIXTURES_SETUP ${TALVORO_WINE_FIXTURE} TIMEOUT 600)
add_test(NAME wine.down
  COMMAND ${win_dir}/wine-prefix.sh down ${CMAKE_BINARY_DIR})
set_tests_properties(wine.down PROPERTIES
  FIXTURES_CLEANUP ${TALVORO_WINE_FIXTURE} TIMEOUT 120)

# The whole Windows program under Wine against nginx on the host's
# loopback (the prefix's wineserver, which makes the program's sockets,
# runs outside any namespace), so they take turns on the test port.
foreach(case whole_run closed_half_way_then_resumed
        wrong_crc_is_retried_and_never_started missing_crc_is_never_started
        no_server_retries_every_three_seconds
        link_cut_every_megabyte_arrives_in_one_run
        working_folder_with_a_non_ascii_name
        whole_run_beside_planted_dlls
        system_dll_that_cannot_be_loaded_is_named
        window_centred_with_the_picture
        window_centred_and_enlarged_at_144_dpi
        window_centred_and_enlarged_at_192_dpi)
  add_test(NAME e2e.${case}
    COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e_test.py --windows
            ${CMAKE_BINARY_DIR} ${TALVORO_TEST_PORT} EndToEnd.test_${case})
  set_tests_properties(e2e.${case} PROPERTIES RESOURCE_LOCK loopback_test_port
    FIXTURES_REQUIRED ${TALVORO_WINE_FIXTURE} TIMEOUT 300)
endforeach()

# The fault matrix, one entry per group. Where network namespaces can be
# made (root), each group runs in its own with a copy of the prefix whose
# wineserver runs there too, and the groups run side by side.
execute_process(COMMAND unshare -n ip link set lo up
                RESULT_VARIABLE win_netns OUTPUT_QUIET ERROR_QUIET)
foreach(group conn tls http integrity local process net fail sign)
  if(win_netns EQUAL 0)
    add_test(NAME faults.${group}
      COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/fault_matrix.py
              --own-network --windows ${CMAKE_BINARY_DIR} ${TALVORO_TEST_PORT}
              ${group}.)
    set_tests_properties(faults.${group} PROPERTIES
      FIXTURES_REQUIRED ${TALVORO_WINE_FIXTURE} TIMEOUT 900)
  else()
    add_test(NAME faults.${group}
      COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/fault_matrix.py --windows
              ${CMAKE_BINARY_DIR} ${TALVORO_TEST_PORT} ${group}.)
    set_tests_properties(faults.${group} PROPERTIES
      RESOURCE_LOCK loopback_test_port
      FIXTURES_REQUIRED ${TALVORO_WINE_FIXTURE} TIMEOUT 900)
  endif()
endforeach()
