if(WIN32)
  enable_language(RC)
endif()

# fp_windows_resources(<target> <description>): gives a Windows program its version
# information and the application icon. Does nothing on other systems.
function(fp_windows_resources target description)
  if(NOT WIN32)
    return()
  endif()
  set(FP_RC_NAME ${target})
  set(FP_RC_DESCRIPTION "${description}")
  set(FP_RC_ICON ${PROJECT_SOURCE_DIR}/resources/fieldprog.ico)
  set(rc ${CMAKE_BINARY_DIR}/generated/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/resources/windows/fieldprog.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
