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
#     always takes from its own folder, and that the program's stripped
#     size stays within 512 KiB;
#   - configure-only runs with good and bad TALVORO_LAUNCHER_SIGNERS;
#   - the end-to-end cases and the fault matrix groups of e2e_test.py and
#     fault_matrix.py in their Windows mode (--windows).
set(TALVORO_WINE_FIXTURE wine)
set(win_dir ${CMAKE_CURRENT_LIST_DIR})

# talvoro-win-close-window.exe [--text] TITLE [IMAGE]: posts WM_CLOSE (as
# Alt+F4), or prints the window's static texts.
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
# The list goes in through TALVORO_LAUNCHER_SIGNERS, as a publisher's -D
# does, and through the same check: the test publisher's key in capitals,
# after a key that no certificate of the tests has (the next key of a
# rotation), with a blank after the ';'.
file(STRINGS ${codesign}/publisher.sha256 test_signer LIMIT_COUNT 1)
string(TOUPPER "${test_signer}" test_signer)
string(SHA256 next_signer "the next signing key")
block()
  set(TALVORO_LAUNCHER_SIGNERS "${next_signer}; ${test_signer}")
  talvoro_bootstrap_program(talvoro-bootstrap-loopback-signed
    "${TALVORO_TEST_URL}")
endblock()

# The option as a publisher sets it on the command line: configure-only
# runs of the project (no tests, no benchmarks) with good and bad lists.
add_test(NAME configure.launcher_signers
  COMMAND ${win_dir}/check-signer-option.sh ${CMAKE_COMMAND}
          ${PROJECT_SOURCE_DIR} ${CMAKE_TOOLCHAIN_FILE}
          ${CMAKE_BINARY_DIR}/configure-signers)
set_tests_properties(configure.launcher_signers PROPERTIES TIMEOUT 300)
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

# The program that users download first stays within 512 KiB, stripped as
# it is shipped (the Release build; the README quotes the line it prints).
if(CMAKE_BUILD_TYPE STREQUAL "Release")
  add_test(NAME size.bootstrap_within_512_kib
    COMMAND ${win_dir}/check-size.sh ${CMAKE_STRIP}
            $<TARGET_FILE:talvoro-bootstrap> 524288
            ${CMAKE_BINARY_DIR}/talvoro-bootstrap.stripped.exe)
endif()

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
        dead_network_shows_why_on_the_window
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

# The fault matrix, one entry per scenario (talvoro_add_fault_tests). With
# network namespaces (root), each entry runs in its own with a copy of the
# prefix whose wineserver runs there too, and the entries run side by side.
talvoro_add_fault_tests(MODE --windows TIMEOUT 900
  PROPERTIES FIXTURES_REQUIRED ${TALVORO_WINE_FIXTURE})
