# Flags every target of the project shares.

# Trace lines carry repo-relative paths (src/zlog/qova_zlog.cpp), never a machine's path.
add_compile_options("-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=")
add_compile_options(-Wall -Wextra)

if(VARNELL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(VARNELL_TSAN)
  if(VARNELL_SANITIZE)
    message(FATAL_ERROR "VARNELL_TSAN and VARNELL_SANITIZE exclude each other")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(VARNELL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VARNELL_FUZZ needs clang (configure with CC=clang CXX=clang++)")
  endif()
  # Libraries get coverage instrumentation; only the fuzz executables link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Everything outside the crypto extensions builds against the OpenSSL 3.0 API without deprecated calls.
function(varnell_openssl_modern target)
  target_compile_definitions(${target} PRIVATE OPENSSL_API_COMPAT=30000 OPENSSL_NO_DEPRECATED)
endfunction()

# Subsystem folders appear one issue at a time; each one present is built.
function(varnell_add_present_subdirs)
  foreach(dir ${ARGN})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()
