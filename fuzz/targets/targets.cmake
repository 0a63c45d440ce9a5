# The fuzz target bodies, shared by the libFuzzer executables (fuzz/) and the corpus replay
# test of the ordinary build (tests/unit/fuzz_replay/). Whichever comes first defines them.
if(NOT TARGET fp_fuzz_targets)
  add_library(fp_fuzz_targets STATIC
    ${CMAKE_SOURCE_DIR}/fuzz/targets/FuzzSupport.cpp
    ${CMAKE_SOURCE_DIR}/fuzz/targets/FuzzDecoder.cpp
    ${CMAKE_SOURCE_DIR}/fuzz/targets/FuzzContainer.cpp
    ${CMAKE_SOURCE_DIR}/fuzz/targets/FuzzReadMe.cpp
    ${CMAKE_SOURCE_DIR}/fuzz/targets/FuzzDevice.cpp)
  target_include_directories(fp_fuzz_targets PUBLIC ${CMAKE_SOURCE_DIR}/fuzz/targets
                                             PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
  target_link_libraries(fp_fuzz_targets PUBLIC fp_device fp_resfiles fp_payload fp_link)
endif()
