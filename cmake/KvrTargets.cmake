# One library per layer folder. Sources are picked up from the folder (and the listed sub-folders), so a new
# class is a new file pair and nothing else.
#   kvr_add_layer(<target> DIRS <dir>... [LIBS <lib>...] [PCH <header>...])
function(kvr_add_layer target)
  cmake_parse_arguments(ARG "" "" "DIRS;LIBS;PCH" ${ARGN})
  set(sources)
  foreach(dir IN LISTS ARG_DIRS)
    file(GLOB found CONFIGURE_DEPENDS
      ${PROJECT_SOURCE_DIR}/${dir}/*.cpp ${PROJECT_SOURCE_DIR}/${dir}/*.h)
    list(APPEND sources ${found})
  endforeach()
  if(NOT sources)
    return()
  endif()
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${target} PUBLIC ${ARG_LIBS})
  if(ARG_PCH)
    target_precompile_headers(${target} PRIVATE ${ARG_PCH})
  endif()
endfunction()

# The leak check's suppressions (libraries of others: libx265's encoder open, Mesa's GL driver), for every test
# of an AddressSanitizer build.
set(KVR_LEAK_CHECK_ENVIRONMENT "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0")

# One GoogleTest executable per tests/ folder; every case needs the generated media fixtures.
#   kvr_add_gtest(<target> DIR <dir>... [OWN_DISPLAY] [LIBS <lib>...] [LABELS <label>...] [SLOW <gtest filter>])
# QT_MAIN among the LIBS gives the test a Qt application object (tests/support/qt). The cases SLOW matches
# (stress tests, which take minutes under ThreadSanitizer) get a longer time limit than the others.
# Nothing is added while the folder has no sources yet.
function(kvr_add_gtest target)
  cmake_parse_arguments(ARG "OWN_DISPLAY" "SLOW" "DIR;LIBS;LABELS" ${ARGN})
  set(sources)
  foreach(dir IN LISTS ARG_DIR)
    file(GLOB found CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cpp ${PROJECT_SOURCE_DIR}/${dir}/*.h)
    list(APPEND sources ${found})
  endforeach()
  if(NOT sources)
    return()
  endif()
  set(support kvr_test_support)
  if("QT_MAIN" IN_LIST ARG_LIBS)
    list(REMOVE_ITEM ARG_LIBS QT_MAIN)
    set(support kvr_test_support_qt)
  endif()
  add_executable(${target} ${sources})
  target_link_libraries(${target} PRIVATE ${support} ${ARG_LIBS})
  target_precompile_headers(${target} PRIVATE <gtest/gtest.h> <string> <vector>)
  if(ARG_OWN_DISPLAY)
    # Tests that show windows and press keys need the active window: each runs on an X display of its own, so
    # parallel tests never take the focus from each other.
    set_target_properties(${target} PROPERTIES CROSSCOMPILING_EMULATOR "bash;${PROJECT_SOURCE_DIR}/scripts/own-display.sh")
  endif()
  set(environment)
  if(KVR_SANITIZE STREQUAL "thread")
    # Tests that run a program (ffprobe, curl) through QProcess fork a threaded process whose child only execs.
    set(environment ENVIRONMENT "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp:die_after_fork=0")
  elseif(KVR_SANITIZE MATCHES "address")
    set(environment ENVIRONMENT "${KVR_LEAK_CHECK_ENVIRONMENT}")
  endif()
  # A sanitizer's checks make every case several times slower; the whole-program cases (a player started, its
  # windows shown, a conversion run) need more than the usual two minutes there.
  set(timeout 120)
  if(KVR_SANITIZE)
    set(timeout 600)
  endif()
  if(ARG_SLOW)
    set(slowTimeout 300)
    if(KVR_SANITIZE)
      set(slowTimeout 1800)
    endif()
    gtest_discover_tests(${target}
      DISCOVERY_TIMEOUT 60 TEST_FILTER "${ARG_SLOW}"
      PROPERTIES FIXTURES_REQUIRED media TIMEOUT ${slowTimeout} ${environment} LABELS "${ARG_LABELS}")
    set(others TEST_FILTER "-${ARG_SLOW}")
  endif()
  gtest_discover_tests(${target}
    DISCOVERY_TIMEOUT 60 ${others}
    PROPERTIES FIXTURES_REQUIRED media TIMEOUT ${timeout} ${environment} LABELS "${ARG_LABELS}")
endfunction()

# A test that runs inside a private pair of network namespaces (scripts/netns-run.sh), with an optional peer
# command line in the other namespace. Where namespaces cannot be made it is listed as a skip.
#   kvr_add_netns_test(<name> [PEER <command line>] COMMAND <command> [<argument>...])
function(kvr_add_netns_test name)
  cmake_parse_arguments(ARG "" "PEER" "COMMAND" ${ARGN})
  set(peer)
  if(ARG_PEER)
    set(peer --peer "${ARG_PEER}")
  endif()
  add_test(NAME ${name} COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/netns-run.sh ${peer} -- ${ARG_COMMAND})
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 180 LABELS netns)
endfunction()
