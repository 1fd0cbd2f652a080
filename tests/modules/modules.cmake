# Small modules for the loader, codec and update tests, built as plain
# shared objects ("name.so") into one directory.
set(MIRT_TEST_MODULE_OUTPUT ${CMAKE_BINARY_DIR}/tests/modules)
set(MIRT_TEST_MODULE_TARGETS "")

# mirt_test_module(NAME SOURCE [DEFINITIONS...])
function(mirt_test_module name source)
  set(target mirt_test_module_${name})
  add_library(${target} MODULE ${CMAKE_CURRENT_LIST_DIR}/${source})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_compile_definitions(${target} PRIVATE ${ARGN})
  # Every module exports the same MR_ names into the global scope; its own
  # references must still reach its own definitions.
  target_link_options(${target} PRIVATE -Wl,-Bsymbolic)
  set_target_properties(${target} PROPERTIES
    PREFIX "" SUFFIX ".so" OUTPUT_NAME ${name}
    LIBRARY_OUTPUT_DIRECTORY ${MIRT_TEST_MODULE_OUTPUT}
    C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden)
  set(MIRT_TEST_MODULE_TARGETS ${MIRT_TEST_MODULE_TARGETS} ${target} PARENT_SCOPE)
endfunction()

# Working algorithms and ciphers.
mirt_test_module(test_rle rle.c)
mirt_test_module(test_broken broken.c)
mirt_test_module(test_twin_a twin.cpp MODULE_SLOT=40 "MODULE_NAME=\"Twin A\"")
mirt_test_module(test_twin_b twin.cpp MODULE_SLOT=41 "MODULE_NAME=\"Twin B\"")
mirt_test_module(test_picky picky.c)
mirt_test_module(test_picky_reentrant picky.c MODULE_SLOT=51 "MODULE_NAME=\"Reentrant RLE\""
                 MODULE_THREADSAFE)
mirt_test_module(test_cipher stream_cipher.c MODULE_SLOT=4)
mirt_test_module(test_cipher_chaos stream_cipher.c MODULE_SLOT=0)
mirt_test_module(test_cipher_5 stream_cipher.c MODULE_SLOT=5)

# Loader cases: version requirements at their boundaries (0.8.42 is 2090).
mirt_test_module(test_req_atleast_2090 variant.c "MODULE_REQUIRE=(1<<24)|2090")
mirt_test_module(test_req_atleast_2091 variant.c "MODULE_REQUIRE=(1<<24)|2091")
mirt_test_module(test_req_exactly_2090 variant.c "MODULE_REQUIRE=(2<<24)|2090")
mirt_test_module(test_req_exactly_2089 variant.c "MODULE_REQUIRE=(2<<24)|2089")
mirt_test_module(test_req_exactly_2091 variant.c "MODULE_REQUIRE=(2<<24)|2091")
mirt_test_module(test_req_atmost_2090 variant.c "MODULE_REQUIRE=(3<<24)|2090")
mirt_test_module(test_req_atmost_2089 variant.c "MODULE_REQUIRE=(3<<24)|2089")
mirt_test_module(test_req_kind0 variant.c "MODULE_REQUIRE=0x00FFFFFF")
mirt_test_module(test_req_kind4 variant.c "MODULE_REQUIRE=(4<<24)|1")
# Loader cases: symbols and slots.
mirt_test_module(test_no_algo variant.c MODULE_NO_ALGO)
mirt_test_module(test_slot255 variant.c MODULE_SLOT=255)
mirt_test_module(test_slot0 variant.c MODULE_SLOT=0)
mirt_test_module(test_slot9 variant.c MODULE_SLOT=9 "MODULE_NAME=\"Slot Nine\"")
mirt_test_module(test_type2 variant.c MODULE_TYPE=2)
mirt_test_module(test_type0 variant.c MODULE_TYPE=0 MODULE_SLOT=60)
mirt_test_module(test_update variant.c MODULE_VERSION=0x010000 MODULE_SLOT=70)
mirt_test_module(test_memory variant.c MODULE_MEMORY MODULE_SLOT=61)
# Loader cases: required names exported as the wrong kind of thing.
mirt_test_module(test_misfit_algo_function misfit.c MISFIT_ALGO_FUNCTION)
mirt_test_module(test_misfit_algo_data misfit.c MISFIT_ALGO_DATA)
mirt_test_module(test_misfit_name_int misfit.c MISFIT_NAME_INT)
mirt_test_module(test_misfit_name_wild misfit.c MISFIT_NAME_WILD)
mirt_test_module(test_misfit_url_int misfit.c MISFIT_URL_INT)
mirt_test_module(test_misfit_memory_data misfit.c MISFIT_MEMORY_DATA)
mirt_test_module(test_misfit_none misfit.c)

# The test programs load these at run time; build them first.
cmake_language(DEFER CALL mirt_test_modules_attach)
function(mirt_test_modules_attach)
  foreach(test_target mirt_unit_tests mirt_e2e_tests)
    if(TARGET ${test_target})
      add_dependencies(${test_target} ${MIRT_TEST_MODULE_TARGETS})
    endif()
  endforeach()
endfunction()
