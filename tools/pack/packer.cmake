# The packer and its pure parts. Included by the native tools build and by the
# Windows builds, both compiling the same pinned minizip sources so that the
# two packers write the same bytes. Needs VEXLODE_ROOT, VEXLODE_DEPS,
# VEXLODE_PACK_ZLIB (the zlib target to link) and the pure libraries of common/
# and app/ (the payload scan, the seal record and SHA-256, shared with the
# stub).
set(pack_minizip ${VEXLODE_DEPS}/minizip)
set(pack_minizip_sources ${pack_minizip}/zip.c ${pack_minizip}/unzip.c ${pack_minizip}/ioapi.c)
if(WIN32)
  list(APPEND pack_minizip_sources ${pack_minizip}/iowin32.c)
endif()
add_library(packminizip STATIC ${pack_minizip_sources})
target_include_directories(packminizip PUBLIC ${pack_minizip})
target_compile_options(packminizip PRIVATE -w)
target_link_libraries(packminizip PUBLIC ${VEXLODE_PACK_ZLIB})

# The LZMA SDK's encoder (fetched by scripts/setup), single-threaded: the
# threaded match finder is neither fetched nor wanted (same bytes everywhere).
set(pack_lzma ${VEXLODE_DEPS}/lzma)
add_library(packlzma STATIC ${pack_lzma}/LzmaEnc.c ${pack_lzma}/LzFind.c)
target_include_directories(packlzma PUBLIC ${pack_lzma})
target_compile_definitions(packlzma PUBLIC _7ZIP_ST)
target_compile_options(packlzma PRIVATE -w)

set(pack_dir ${VEXLODE_ROOT}/tools/pack)
add_library(packlib STATIC ${pack_dir}/ico.cpp ${pack_dir}/version_info.cpp ${pack_dir}/pe_resources.cpp
            ${pack_dir}/archive.cpp ${pack_dir}/lzma_encode.cpp ${pack_dir}/seal.cpp ${pack_dir}/check.cpp
            ${pack_dir}/manifest.cpp)
target_link_libraries(packlib PUBLIC vexpayload vexsha256 packminizip packlzma)
target_compile_options(packlib PRIVATE -Wall -Wextra)

# The release's version: VERSION at the top of the tree is its one source.
file(STRINGS ${VEXLODE_ROOT}/VERSION vexlode_version LIMIT_COUNT 1)
if(NOT vexlode_version MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "VERSION must hold one line N.N.N, not '${vexlode_version}'")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VEXLODE_ROOT}/VERSION)

add_executable(vexlode-pack ${pack_dir}/pack.cpp)
target_compile_definitions(vexlode-pack PRIVATE VEXLODE_VERSION="${vexlode_version}")
target_link_libraries(vexlode-pack PRIVATE packlib)
target_compile_options(vexlode-pack PRIVATE -Wall -Wextra)
if(WIN32)
  target_link_options(vexlode-pack PRIVATE -municode -static -s)
  # The LZMA encoder's tables for a 64 MiB dictionary take some 700 MB: a
  # 32-bit packer wants more than 2 GB of address space for them.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_link_options(vexlode-pack PRIVATE -Wl,--large-address-aware)
  endif()
  set_target_properties(vexlode-pack PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endif()
