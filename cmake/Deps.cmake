# Imported targets for the dependencies that scripts/bootstrap builds into
# LAUNCHER_DEPS_DIR (static Windows libraries).
set(LAUNCHER_DEPS_DIR "${LAUNCHER_DEPS_DIR}" CACHE PATH "Prefix of the Windows dependencies")
if(NOT LAUNCHER_DEPS_DIR OR NOT EXISTS "${LAUNCHER_DEPS_DIR}/include")
  message(FATAL_ERROR "LAUNCHER_DEPS_DIR is not set or empty; run scripts/bootstrap")
endif()

function(_launcher_dep target)
  cmake_parse_arguments(ARG "" "" "NAMES;LINK;DEFINES" ${ARGN})
  set(_found "")
  foreach(_name IN LISTS ARG_NAMES)
    if(NOT _found AND EXISTS "${LAUNCHER_DEPS_DIR}/lib/${_name}")
      set(_found "${LAUNCHER_DEPS_DIR}/lib/${_name}")
    endif()
  endforeach()
  if(NOT _found)
    message(FATAL_ERROR "dependency library ${ARG_NAMES} not found in ${LAUNCHER_DEPS_DIR}/lib")
  endif()
  add_library(deps::${target} STATIC IMPORTED GLOBAL)
  set_target_properties(deps::${target} PROPERTIES
    IMPORTED_LOCATION "${_found}"
    INTERFACE_INCLUDE_DIRECTORIES "${LAUNCHER_DEPS_DIR}/include"
    INTERFACE_LINK_LIBRARIES "${ARG_LINK}"
    INTERFACE_COMPILE_DEFINITIONS "${ARG_DEFINES}")
endfunction()

_launcher_dep(zlib NAMES libz.a)
_launcher_dep(minizip NAMES libminizip.a LINK deps::zlib)
_launcher_dep(crypto NAMES libcrypto.a LINK "ws2_32;crypt32;bcrypt;advapi32;user32")
_launcher_dep(ssl NAMES libssl.a LINK deps::crypto)
set(_curl_link deps::ssl deps::zlib)
if(EXISTS ${LAUNCHER_DEPS_DIR}/.stamp-nghttp2)
  _launcher_dep(nghttp2 NAMES libnghttp2.a libnghttp2_static.a DEFINES NGHTTP2_STATICLIB)
  list(APPEND _curl_link deps::nghttp2)
endif()
list(APPEND _curl_link ws2_32 crypt32 bcrypt secur32 normaliz advapi32 user32 iphlpapi)
_launcher_dep(curl NAMES libcurl.a LINK "${_curl_link}" DEFINES CURL_STATICLIB)
_launcher_dep(jsoncpp NAMES libjsoncpp.a libjsoncpp_static.a)
_launcher_dep(gtest NAMES libgtest.a)
_launcher_dep(gmock NAMES libgmock.a LINK deps::gtest)
