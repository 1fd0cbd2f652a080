# Bundled algorithm plugins: one shared object per folder, loaded at run
# time like any other module.
option(MIRT_PLUGINS "Build and install the bundled algorithm plugins" ON)

set(MIRT_PLUGIN_DIR ${CMAKE_BINARY_DIR}/plugins)
set(MIRT_PLUGIN_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/mirt)
set(MIRT_PLUGIN_TARGETS "")

if(MIRT_PLUGINS)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(MIRT_ZSTD REQUIRED IMPORTED_TARGET libzstd)
  pkg_check_modules(MIRT_LZMA REQUIRED IMPORTED_TARGET liblzma)
  pkg_check_modules(MIRT_BROTLI REQUIRED IMPORTED_TARGET libbrotlienc libbrotlidec)
  pkg_check_modules(MIRT_LZ4 REQUIRED IMPORTED_TARGET liblz4)
  pkg_check_modules(MIRT_DIVSUFSORT REQUIRED IMPORTED_TARGET libdivsufsort)

  # mirt_add_plugin(NAME SOURCES LIBRARIES...): SOURCES is one file or a
  # quoted list ("a.cpp;b.cpp"), relative to this folder.
  function(mirt_add_plugin name sources)
    set(target mirt_plugin_${name})
    list(TRANSFORM sources PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
    add_library(${target} MODULE ${sources})
    set_target_properties(${target} PROPERTIES
      OUTPUT_NAME ${name}
      PREFIX ""
      LIBRARY_OUTPUT_DIRECTORY ${MIRT_PLUGIN_DIR}
      CXX_VISIBILITY_PRESET hidden
      VISIBILITY_INLINES_HIDDEN ON)
    target_include_directories(${target} PRIVATE
      ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_SOURCE_DIR}/include)
    # Every stored form carries a CRC-32 of its plain block (common/plugin.h).
    target_link_libraries(${target} PRIVATE ${ARGN} ZLIB::ZLIB)
    if(MIRT_SANITIZE OR MIRT_FUZZ)
      # Every module exports MR_NUM, MR_NAME and MR_ALGO and the loader opens
      # them with RTLD_GLOBAL: instrumented globals would make AddressSanitizer
      # report the shared names as ODR violations. Heap and stack checks stay.
      if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        target_compile_options(${target} PRIVATE -mllvm -asan-globals=0)
      else()
        target_compile_options(${target} PRIVATE --param=asan-globals=0)
      endif()
    endif()
    install(TARGETS ${target} LIBRARY DESTINATION ${MIRT_PLUGIN_INSTALL_DIR})
    set(MIRT_PLUGIN_TARGETS ${MIRT_PLUGIN_TARGETS} ${target} PARENT_SCOPE)
  endfunction()

  set(MIRT_PLUGINS_SOURCE ${CMAKE_CURRENT_LIST_DIR})
  mirt_add_plugin(zlib zlib/zlib_plugin.cpp ZLIB::ZLIB)
  mirt_add_plugin(bzip2 bzip2/bzip2_plugin.cpp BZip2::BZip2)
  mirt_add_plugin(zstd zstd/zstd_plugin.cpp PkgConfig::MIRT_ZSTD)
  mirt_add_plugin(zstd_fast zstd/zstd_fast_plugin.cpp PkgConfig::MIRT_ZSTD)
  mirt_add_plugin(lzma2 lzma2/lzma2_plugin.cpp PkgConfig::MIRT_LZMA)
  mirt_add_plugin(brotli brotli/brotli_plugin.cpp PkgConfig::MIRT_BROTLI)
  mirt_add_plugin(lz4hc lz4hc/lz4hc_plugin.cpp PkgConfig::MIRT_LZ4)
  mirt_add_plugin(x86_lzma2 x86_lzma2/x86_lzma2_plugin.cpp PkgConfig::MIRT_LZMA)
  mirt_add_plugin(delta_lzma2 delta_lzma2/delta_lzma2_plugin.cpp PkgConfig::MIRT_LZMA)
  # The block-sorting codec below its entry, also built into its tests.
  set(MIRT_BWT_CODEC bwt/bwt_codec.cpp bwt/bwt_parts.cpp bwt/bwt_transform.cpp bwt/bwt_repeats.cpp)
  mirt_add_plugin(bwt "bwt/bwt_plugin.cpp;${MIRT_BWT_CODEC}" PkgConfig::MIRT_DIVSUFSORT)
  list(TRANSFORM MIRT_BWT_CODEC PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
  # The context-mixing codec below its entry, also built into its tests.
  set(MIRT_CM_CODEC_SOURCES cm/cm_codec.cpp cm/model_v1.cpp cm/model_v2.cpp cm/text_transform.cpp)
  mirt_add_plugin(cm "cm/cm_plugin.cpp;${MIRT_CM_CODEC_SOURCES}")
  list(TRANSFORM MIRT_CM_CODEC_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
  add_custom_target(mirt_plugins DEPENDS ${MIRT_PLUGIN_TARGETS})
  if(TARGET mirt)
    add_dependencies(mirt mirt_plugins)
  endif()
endif()

# The system configuration points at the installed plugins. An existing
# file the administrator changed is kept (install_conf.cmake).
install(CODE "
  set(MIRT_CONF_TEMPLATE \"${CMAKE_CURRENT_LIST_DIR}/mirt.conf.in\")
  set(MIRT_EARLIER_CONF_DIR \"${CMAKE_CURRENT_LIST_DIR}/earlier-conf\")
  set(MIRT_PLUGIN_INSTALL_DIR \"${MIRT_PLUGIN_INSTALL_DIR}\")
  include(\"${CMAKE_CURRENT_LIST_DIR}/install_conf.cmake\")
")
install(FILES ${CMAKE_SOURCE_DIR}/share/mirt/fast.conf ${CMAKE_SOURCE_DIR}/share/mirt/max.conf
        DESTINATION ${CMAKE_INSTALL_DATADIR}/mirt)
