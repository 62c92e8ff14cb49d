# varnell_add_fixture(<target> SCRIPT <script> OUTPUT_DIR <dir> COMMENT <text> [ARGS <args...>]
#                     [USES <scripts...>])
# Fixtures made once per build by a script in tests/fixtures: `bash <script> <dir> <args...>` writes
# <dir> and its stamp file, again whenever the script (or a script it USES) changes. Tests and
# benchmarks name the directory in a compile definition and depend on <target>.
function(varnell_add_fixture target)
  cmake_parse_arguments(ARG "" "SCRIPT;OUTPUT_DIR;COMMENT" "ARGS;USES" ${ARGN})
  set(fixture_scripts ${CMAKE_SOURCE_DIR}/tests/fixtures)
  list(TRANSFORM ARG_USES PREPEND ${fixture_scripts}/)
  add_custom_command(
    OUTPUT ${ARG_OUTPUT_DIR}/stamp
    COMMAND bash ${fixture_scripts}/${ARG_SCRIPT} ${ARG_OUTPUT_DIR} ${ARG_ARGS}
    DEPENDS ${fixture_scripts}/${ARG_SCRIPT} ${ARG_USES}
    COMMENT "${ARG_COMMENT}"
    VERBATIM)
  add_custom_target(${target} DEPENDS ${ARG_OUTPUT_DIR}/stamp)
endfunction()
