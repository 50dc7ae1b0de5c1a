# morvane_add_test(NAME name SOURCES ... LIBS ... [WIDGETS] [NETNS] [TIMEOUT s] [LABELS ...])
#   WIDGETS: runs with QT_QPA_PLATFORM=offscreen.
#   NETNS:   runs inside a network namespace of its own (tests/netns-run.sh); the
#            test exits 77 (skipped) when namespaces cannot be made (not root).
# Building and running the program needs no GoogleTest; without it (scripts/
# install-deps.sh run) the tests are left out.
find_package(GTest)

function(morvane_add_test)
  cmake_parse_arguments(T "WIDGETS;NETNS" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  if(T_NETNS)
    add_test(NAME ${T_NAME}
             COMMAND ${PROJECT_SOURCE_DIR}/tests/netns-run.sh $<TARGET_FILE:${T_NAME}>)
    set(labels netns ${T_LABELS})
  else()
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set(labels ${T_LABELS})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} SKIP_RETURN_CODE 77)
  if(labels)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${labels}")
  endif()
  # Sanitizer reports fail the test; the suppressions name only code that is not
  # ours (tests/lsan.supp, tests/tsan.supp say why). Qt is not built with
  # ThreadSanitizer: ignore_noninstrumented_modules drops the allocator and
  # memory calls Qt itself makes, whose synchronisation ThreadSanitizer cannot
  # see, while every access of our own code stays checked.
  set(env
      "ASAN_OPTIONS=abort_on_error=1:detect_leaks=1"
      "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
      "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp"
      "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1:suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp")
  if(T_WIDGETS)
    list(APPEND env "QT_QPA_PLATFORM=offscreen")
  endif()
  set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${env}")
  # The ThreadSanitizer run builds only what it runs.
  if("tsan" IN_LIST labels)
    if(NOT TARGET tsan_tests)
      add_custom_target(tsan_tests)
    endif()
    add_dependencies(tsan_tests ${T_NAME})
  endif()
endfunction()
