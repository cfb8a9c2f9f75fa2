# Third-party libraries of the Windows build. The Linux build takes them from
# Debian; here the header-only ones (nlohmann json, CLI11) are used from the
# same Debian headers through a folder that holds only them (never the whole of
# /usr/include, whose system headers are Linux's); GoogleTest and pugixml are
# built from Debian's source for this target (scripts/bootstrap.sh windows). PAM and libsystemd have no place in
# this build: accounts and service notification are the Win32 backend's.
set(telmo_third_party ${CMAKE_BINARY_DIR}/third-party/include)
file(MAKE_DIRECTORY ${telmo_third_party})
foreach(dir nlohmann CLI)
  if(NOT EXISTS /usr/include/${dir})
    message(FATAL_ERROR "missing /usr/include/${dir}: run scripts/bootstrap.sh")
  endif()
  file(CREATE_LINK /usr/include/${dir} ${telmo_third_party}/${dir} SYMBOLIC)
endforeach()

add_library(telmo_third_party_headers INTERFACE)
target_include_directories(telmo_third_party_headers SYSTEM INTERFACE ${telmo_third_party})
add_library(nlohmann_json::nlohmann_json ALIAS telmo_third_party_headers)
add_library(CLI11::CLI11 ALIAS telmo_third_party_headers)

set(telmo_pugixml_source /usr/local/src/telmo-pugixml/src)
if(NOT EXISTS ${telmo_pugixml_source}/pugixml.cpp)
  message(FATAL_ERROR "missing ${telmo_pugixml_source}/pugixml.cpp: run scripts/bootstrap.sh windows")
endif()
add_library(telmo_pugixml STATIC ${telmo_pugixml_source}/pugixml.cpp)
target_include_directories(telmo_pugixml SYSTEM PUBLIC ${telmo_pugixml_source})
target_compile_options(telmo_pugixml PRIVATE -w)  # not our code: not held to our warnings
add_library(pugixml::pugixml ALIAS telmo_pugixml)

if(TELMO_BUILD_TESTS)
  set(telmo_gtest_source /usr/src/googletest)
  if(NOT EXISTS ${telmo_gtest_source}/CMakeLists.txt)
    message(FATAL_ERROR "missing ${telmo_gtest_source}: run scripts/bootstrap.sh (googletest)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  # GoogleTest's own code is not held to our warnings.
  set(telmo_saved_options "${CMAKE_CXX_FLAGS}")
  add_subdirectory(${telmo_gtest_source} ${CMAKE_BINARY_DIR}/third-party/googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(t gtest gtest_main gmock gmock_main)
    if(TARGET ${t})
      target_compile_options(${t} PRIVATE -w)
      if(NOT TARGET GTest::${t})
        add_library(GTest::${t} ALIAS ${t})
      endif()
    endif()
  endforeach()
endif()
