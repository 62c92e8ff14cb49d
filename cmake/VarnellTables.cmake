# varnell_add_tables(<target> MODULE_TABLE <file> TRUSTED_CERTS <file> [DEPENDS <targets...>])
# A static library holding the compiled-in module table and trusted chain (CompiledTables.h),
# generated at build time from the two text files (format: GenerateTables.cmake). The shipped host
# links varnell_tables_default; a test executable may link a table of its own, made from files its
# fixtures write (DEPENDS names the targets that make them).
set(VARNELL_TABLES_GENERATOR ${CMAKE_CURRENT_LIST_DIR}/GenerateTables.cmake)
set(VARNELL_TABLES_INCLUDE_DIR ${CMAKE_SOURCE_DIR}/src/tables)

function(varnell_add_tables target)
  cmake_parse_arguments(ARG "" "MODULE_TABLE;TRUSTED_CERTS" "DEPENDS" ${ARGN})
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${target}.cpp)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DMODULE_TABLE=${ARG_MODULE_TABLE} -DTRUSTED_CERTS=${ARG_TRUSTED_CERTS}
            -DOUTPUT=${output} -P ${VARNELL_TABLES_GENERATOR}
    DEPENDS ${ARG_MODULE_TABLE} ${ARG_TRUSTED_CERTS} ${VARNELL_TABLES_GENERATOR} ${ARG_DEPENDS}
    COMMENT "Writing the compiled-in tables of ${target}"
    VERBATIM)
  add_library(${target} STATIC ${output})
  target_include_directories(${target} PUBLIC ${VARNELL_TABLES_INCLUDE_DIR})
endfunction()
