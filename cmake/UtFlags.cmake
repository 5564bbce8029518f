# Compiler settings of the project's own targets. They are carried by the
# interface target ut_flags, so that third-party sources built beside them
# (GoogleTest for the cross build) keep their own.

add_library(ut_flags INTERFACE)
target_compile_options(ut_flags INTERFACE -Wall -Wextra -Wshadow -Wformat=2 -Wcast-align
                       -Wpointer-arith -Wundef -Wvla)
if(UT_WERROR)
  target_compile_options(ut_flags INTERFACE -Werror)
endif()

# The board is 32-bit: large files and 64-bit times there as well.
target_compile_definitions(ut_flags INTERFACE _FILE_OFFSET_BITS=64 _TIME_BITS=64)

if(UT_SANITIZE)
  target_compile_options(ut_flags INTERFACE -fsanitize=address,undefined
                         -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(ut_flags INTERFACE -fsanitize=address,undefined)
endif()

if(UT_FUZZ)
  target_compile_options(ut_flags INTERFACE -fsanitize=fuzzer-no-link,address,undefined
                         -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
  target_link_options(ut_flags INTERFACE -fsanitize=address,undefined)
endif()

# Product code (daemon, shared library, host tool): no exceptions and no RTTI,
# so that nothing of it needs the C++ runtime library.
function(ut_product_code target)
  target_link_libraries(${target} PUBLIC ut_flags)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
endfunction()

# A program of the product, linked so that it needs the C library alone. Its
# log lines name its sources as "src/...".
function(ut_product_program target)
  ut_product_code(${target})
  target_link_options(${target} PRIVATE -Wl,--as-needed -static-libgcc)
  target_compile_options(${target} PRIVATE -fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=)
endfunction()
