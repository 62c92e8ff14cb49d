# The host program: its frame (start-up, the worker thread, shutdown) joins the host library, so
# that tests link it with a module table of their own; the executable adds only main and the
# shipped tables. The dialog library comes with the token services; the host itself calls only its
# alert.
target_sources(varnell_host PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/AppDelegate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TerminationSignals.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WorkThread.cpp)
target_link_libraries(varnell_host PUBLIC platform_dispatch Tamsel64)

add_executable(VarnellHost ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(VarnellHost PRIVATE varnell_host varnell_tables_default)
varnell_place_in_app(VarnellHost)
