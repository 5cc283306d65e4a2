# qiv_stamp_resources(TARGET <exe> RESOURCES "TYPE:ID:path" ...)
#
# Stamps the resources into <exe> after every link, as a POST_BUILD step
# running the qiv-res tool (which is built first). A relative path is taken
# from the calling folder. The resource files are link dependencies of <exe>,
# so changing one relinks and restamps it. Example:
#   qiv_stamp_resources(TARGET qiv RESOURCES
#     "XML:106:product.xml" "XML:131:lang.xml" "VERSION:1:version.txt" "ICON:101:qiv.png")
include_guard(GLOBAL)

function(qiv_stamp_resources)
  cmake_parse_arguments(S "" "TARGET" "RESOURCES" ${ARGN})
  if(NOT S_TARGET)
    message(FATAL_ERROR "qiv_stamp_resources: TARGET is missing")
  endif()
  if(NOT S_RESOURCES)
    message(FATAL_ERROR "qiv_stamp_resources(${S_TARGET}): RESOURCES is empty")
  endif()
  set(specs)
  foreach(spec IN LISTS S_RESOURCES)
    if(NOT spec MATCHES "^([A-Za-z0-9_]+):([0-9]+):(.+)$")
      message(FATAL_ERROR "qiv_stamp_resources(${S_TARGET}): \"${spec}\" is not TYPE:ID:path")
    endif()
    set(type ${CMAKE_MATCH_1})
    set(id ${CMAKE_MATCH_2})
    get_filename_component(file "${CMAKE_MATCH_3}" ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    list(APPEND specs "${type}:${id}:${file}")
    set_property(TARGET ${S_TARGET} APPEND PROPERTY LINK_DEPENDS "${file}")
  endforeach()
  add_dependencies(${S_TARGET} qiv-res)
  add_custom_command(TARGET ${S_TARGET} POST_BUILD
    COMMAND $<TARGET_FILE:qiv-res> stamp $<TARGET_FILE:${S_TARGET}> ${specs}
    COMMENT "Stamping resources into ${S_TARGET}"
    VERBATIM)
endfunction()
