# Engine libraries are plain C++; this guards them against a Qt include sneaking in.
function(sondrel_engine_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC Threads::Threads)
endfunction()

# Adds subdirectory DIR only when it has a CMakeLists.txt, so folders can grow one at a time.
function(sondrel_optional_subdirectory dir)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endfunction()
