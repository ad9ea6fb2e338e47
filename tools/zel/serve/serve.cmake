# zel serve: built into zel when cpp-httplib (libcpp-httplib-dev) and nlohmann-json
# (nlohmann-json3-dev) are installed. Included from tools/CMakeLists.txt after the zel target.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(ZEL_HTTPLIB QUIET IMPORTED_TARGET cpp-httplib)
endif()
find_package(nlohmann_json 3 QUIET)
if(NOT ZEL_HTTPLIB_FOUND OR NOT nlohmann_json_FOUND)
  message(STATUS "zel serve not built: needs libcpp-httplib-dev and nlohmann-json3-dev")
  return()
endif()

set(ZEL_SERVE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/zel/serve)
file(GLOB_RECURSE ZEL_WEB_FILES CONFIGURE_DEPENDS ${ZEL_SERVE_DIR}/web/*)
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/web_assets.cpp
  COMMAND ${CMAKE_COMMAND} -DWEB_DIR=${ZEL_SERVE_DIR}/web
          -DOUTPUT=${CMAKE_CURRENT_BINARY_DIR}/web_assets.cpp -P ${ZEL_SERVE_DIR}/embed_web.cmake
  DEPENDS ${ZEL_WEB_FILES} ${ZEL_SERVE_DIR}/embed_web.cmake
  COMMENT "Embedding the zel serve page")
target_sources(zel PRIVATE
  ${ZEL_SERVE_DIR}/serve.cpp ${ZEL_SERVE_DIR}/api.cpp ${ZEL_SERVE_DIR}/instrument.cpp
  ${ZEL_SERVE_DIR}/events.cpp ${ZEL_SERVE_DIR}/sweep_files.cpp ${ZEL_SERVE_DIR}/random_text.cpp
  ${CMAKE_CURRENT_BINARY_DIR}/web_assets.cpp)
target_include_directories(zel PRIVATE ${ZEL_SERVE_DIR})
target_compile_definitions(zel PRIVATE ZEL_WITH_SERVE ZEL_TOOL_VERSION="${PROJECT_VERSION}")
target_link_libraries(zel PRIVATE PkgConfig::ZEL_HTTPLIB nlohmann_json::nlohmann_json)

# The API tests and the page's browser tests, both against the built-in simulator on loopback.
if(ZEL_BUILD_TESTS)
  # The system's python, where Debian's python3-selenium is installed.
  find_program(ZEL_SERVE_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
  if(NOT ZEL_SERVE_PYTHON)
    find_program(ZEL_SERVE_PYTHON python3)
  endif()
  if(ZEL_SERVE_PYTHON)
    foreach(t api page)
      add_test(NAME serve_${t}
               COMMAND ${ZEL_SERVE_PYTHON} ${PROJECT_SOURCE_DIR}/tests/serve/test_${t}.py -v)
      set_tests_properties(serve_${t} PROPERTIES LABELS serve TIMEOUT 300 SKIP_RETURN_CODE 77
        ENVIRONMENT "ZEL_CLI=$<TARGET_FILE:zel>;ZEL_SIM=$<TARGET_FILE:zel-sim>")
    endforeach()
  endif()
endif()
