if(WIN32)
  enable_language(RC)
  # The pictures are drawn by the Qt code of the Linux build (its target "art"), so that both
  # builds show the same ones; the Windows build takes them from there.
  set(FIELDPROG_ART_DIR "${PROJECT_SOURCE_DIR}/build/art" CACHE PATH
      "Folder with the pictures fieldprog-art drew (a Linux build's art/)")
  if(NOT EXISTS "${FIELDPROG_ART_DIR}/fieldprog.ico")
    message(FATAL_ERROR "No pictures in ${FIELDPROG_ART_DIR}: build the target \"art\" in a "
                        "Linux build tree and pass its art folder as FIELDPROG_ART_DIR")
  endif()
endif()

# fp_windows_resources(<target> <description>): gives a Windows program its version
# information and the application icon. Does nothing on other systems.
function(fp_windows_resources target description)
  if(NOT WIN32)
    return()
  endif()
  set(FP_RC_NAME ${target})
  set(FP_RC_DESCRIPTION "${description}")
  set(FP_RC_ICON ${FIELDPROG_ART_DIR}/fieldprog.ico)
  set(rc ${CMAKE_BINARY_DIR}/generated/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/resources/windows/fieldprog.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
