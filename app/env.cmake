# Environment probes, client identity and the .NET check (included from
# app/CMakeLists.txt), and the runtime checker program they run.
include_guard(GLOBAL)

add_library(app_env STATIC
  ${CMAKE_CURRENT_LIST_DIR}/env_probes.cpp
  ${CMAKE_CURRENT_LIST_DIR}/client_identity.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dotnet_check.cpp)
target_include_directories(app_env PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(app_env PUBLIC platform_registry
  PRIVATE app_log platform_clock platform_paths platform_process platform_resources platform_sysinfo platform_text ${CMAKE_DL_LIBS})

# The runtime checker, stamped into qiv as "EXE" 105 with
# nfwchk/NFWCHK.exe.config as "XML" 109.
add_executable(nfwchk ${CMAKE_CURRENT_LIST_DIR}/nfwchk/nfwchk.cpp)
target_link_libraries(nfwchk PRIVATE support platform_text ${CMAKE_DL_LIBS})
set(QIV_NFWCHK_CONFIG ${CMAKE_CURRENT_LIST_DIR}/nfwchk/NFWCHK.exe.config CACHE INTERNAL "config of the runtime checker")

# qiv_stamp_nfwchk(TARGET <exe>): stamps the runtime checker into <exe> as
# "EXE" 105 and its configuration as "XML" 109 after every link.
function(qiv_stamp_nfwchk)
  cmake_parse_arguments(S "" "TARGET" "" ${ARGN})
  add_dependencies(${S_TARGET} nfwchk qiv-res)
  set_property(TARGET ${S_TARGET} APPEND PROPERTY LINK_DEPENDS "${QIV_NFWCHK_CONFIG}")
  add_custom_command(TARGET ${S_TARGET} POST_BUILD
    COMMAND $<TARGET_FILE:qiv-res> stamp $<TARGET_FILE:${S_TARGET}>
            "EXE:105:$<TARGET_FILE:nfwchk>" "XML:109:${QIV_NFWCHK_CONFIG}"
    COMMENT "Stamping the runtime checker into ${S_TARGET}"
    VERBATIM)
endfunction()
