# Source lists are written out, so that a stray file never lands in a build. Where a directory
# holds one program per file (tests, fuzz targets, benchmarks), zel_require_listed() makes a file
# that matches the pattern and is not named in the list fail the configure: a test added on
# another branch is then named, never silently left unbuilt.
function(zel_require_listed pattern)
  file(GLOB found RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/${pattern})
  foreach(file ${found})
    if(NOT file IN_LIST ARGN)
      message(FATAL_ERROR "${CMAKE_CURRENT_SOURCE_DIR}/${file} is not named in its CMakeLists.txt")
    endif()
  endforeach()
endfunction()
