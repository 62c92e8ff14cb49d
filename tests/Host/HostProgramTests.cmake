# Tests of the host program: the process as a browser runs it, the worker in process, a soak test,
# and the end-to-end test from a real Chromium.

# The host built with the test table (signed copies of SoftHSM2 and the test module), for the tests
# that sign on a token; it sits beside the shipped one in the bundle.
add_executable(VarnellHostTokenTables ${CMAKE_SOURCE_DIR}/src/Host/main.cpp)
target_link_libraries(VarnellHostTokenTables PRIVATE varnell_host host_tables_tokens)
varnell_place_in_app(VarnellHostTokenTables)

add_library(host_process_support STATIC HostProcess.cpp)
target_include_directories(host_process_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(host_process_support PRIVATE
  HOST_PROGRAM="$<TARGET_FILE:VarnellHost>"
  TOKEN_HOST_PROGRAM="$<TARGET_FILE:VarnellHostTokenTables>")

varnell_add_gtest(host_program_tests
  SOURCES HostProcessTest.cpp WorkThreadTest.cpp
  LIBS host_process_support varnell_host host_tables_none zlog_testutil)
add_dependencies(host_program_tests VarnellHost)
varnell_place_in_app(host_program_tests)

varnell_add_gtest(host_soak_tests
  SOURCES HostSoakTest.cpp
  LIBS host_process_support testp11_client
  LABELS soak)
add_dependencies(host_soak_tests VarnellHostTokenTables)

# Several token hosts signing at once on one test-module token whose PIN tries all of them share.
varnell_add_gtest(host_pin_guard_tests
  SOURCES HostPinGuardTest.cpp
  LIBS host_process_support testp11_client varnell_log)
target_include_directories(host_pin_guard_tests SYSTEM PRIVATE ${TESTP11_P11KIT_INCLUDE_DIRS})
add_dependencies(host_pin_guard_tests VarnellHostTokenTables)

# The certificate window of the host on the display, answered with xdotool (skipped without a
# display).
varnell_add_gtest(host_window_tests
  SOURCES HostWindowTest.cpp
  LIBS host_process_support testp11_client)
add_dependencies(host_window_tests VarnellHostTokenTables)
target_include_directories(host_window_tests PRIVATE ${CMAKE_SOURCE_DIR}/src/zlog)  # the result codes
varnell_run_serial(host_window_tests)

# From a real headless Chromium; exit status 77 (no browser or SoftHSM2 installed) is a skip.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME host_chromium_e2e
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/chromium_e2e.py
          --host $<TARGET_FILE:VarnellHostTokenTables> --source-dir ${CMAKE_SOURCE_DIR}
          --softhsm-module ${SOFTHSM2_MODULE})
set_tests_properties(host_chromium_e2e PROPERTIES
  ENVIRONMENT "${VARNELL_TEST_ENV}"
  TIMEOUT 300
  SKIP_RETURN_CODE 77
  LABELS e2e)

# Termination signals sent to the token host; the dialog case uses the display's pointer and
# keyboard focus, so it runs alone.
varnell_add_gtest(host_signal_tests
  SOURCES HostSignalTest.cpp
  LIBS host_process_support testp11_client varnell_log)
add_dependencies(host_signal_tests VarnellHostTokenTables)
set(host_signal_serial "${CMAKE_CURRENT_BINARY_DIR}/host_signal_tests_serial.cmake")
file(WRITE "${host_signal_serial}" "foreach(t \${host_signal_tests_TESTS})\n  if(t MATCHES \"OnTheDisplay\")\n    set_tests_properties(\${t} PROPERTIES RUN_SERIAL TRUE)\n  endif()\nendforeach()\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${host_signal_serial}")
