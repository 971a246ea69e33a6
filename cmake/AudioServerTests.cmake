# Tests that run against a private audio server, registered once per kind of
# server the project supports: PulseAudio, and PipeWire with its pulse server.
# The same test programs run on both; only their environment differs.
#
# lumeno_server_tests(TARGET target SOURCES a_test.cpp ... LABELS label ...
#                     [SHARED_SERVER] [TIMEOUT seconds] [KINDS kind ...])
#
# Every TEST and TEST_F of the sources becomes "Suite.Name" on PulseAudio,
# with the given labels, and "pipewire.Suite.Name" on PipeWire, with the
# labels but "tsan" and with "pipewire". SHARED_SERVER: the tests use the
# server of the test run (the fixture "audio_server" or
# "audio_server_pipewire", its address in PULSE_SERVER); without it they
# start servers of their own, of the kind named in LUMENO_TEST_AUDIO_SERVER.
# KINDS: the kinds of server to register them for (both unless given).
# All of them take the lock "audio_server", so they never run at once.
function(lumeno_server_tests)
  cmake_parse_arguments(T "SHARED_SERVER" "TARGET;TIMEOUT" "SOURCES;LABELS;KINDS" ${ARGN})
  if(NOT T_KINDS)
    set(T_KINDS pulseaudio pipewire)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(pattern "TEST(_F)?\\(([A-Za-z0-9_]+), *([A-Za-z0-9_]+)\\)")
  set(names)
  foreach(source ${T_SOURCES})
    file(READ ${CMAKE_CURRENT_SOURCE_DIR}/${source} text)
    string(REGEX MATCHALL "${pattern}" found "${text}")
    foreach(hit ${found})
      string(REGEX REPLACE "${pattern}" "\\2.\\3" name "${hit}")
      list(APPEND names ${name})
    endforeach()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${source})
  endforeach()

  set(pipewireLabels ${T_LABELS})
  list(REMOVE_ITEM pipewireLabels tsan)
  list(APPEND pipewireLabels pipewire)
  foreach(kind ${T_KINDS})
    if(kind STREQUAL pulseaudio)
      set(prefix "")
      set(labels ${T_LABELS})
      set(serverDir ${CMAKE_BINARY_DIR}/audio-server)
      set(fixture audio_server)
    else()
      set(prefix "pipewire.")
      set(labels ${pipewireLabels})
      set(serverDir ${CMAKE_BINARY_DIR}/audio-server-pipewire)
      set(fixture audio_server_pipewire)
    endif()
    set(env "LUMENO_TEST_AUDIO_SERVER=${kind}")
    if(T_SHARED_SERVER)
      list(APPEND env "PULSE_SERVER=unix:${serverDir}/native")
    endif()
    foreach(name ${names})
      add_test(NAME ${prefix}${name} COMMAND ${T_TARGET} --gtest_filter=${name})
      set_tests_properties(${prefix}${name} PROPERTIES
        LABELS "${labels}" ENVIRONMENT "${env}" RESOURCE_LOCK audio_server TIMEOUT ${T_TIMEOUT})
      if(T_SHARED_SERVER)
        set_tests_properties(${prefix}${name} PROPERTIES FIXTURES_REQUIRED ${fixture})
      endif()
    endforeach()
  endforeach()
endfunction()
