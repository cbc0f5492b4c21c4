# velmora_add_extension(<python>): the module for one interpreter, and the
# test suites run against it; in a release build, the behavioural suites run
# again against the pure-Python implementation in pure/ under the same
# interpreter, as pure<major><minor>.<suite> (pure37.test_frame, ...), with
# their counts kept apart in test-counts-pure/.
#
# Interpreters before 3.8 expect extension modules to link their shared
# runtime library; from 3.8 on extensions take the interpreter's symbols from
# the process that loads them (bpo-21536), so they are left unlinked.

if(VELMORA_SANITIZE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                  OUTPUT_VARIABLE VELMORA_ASAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libubsan.so
                  OUTPUT_VARIABLE VELMORA_UBSAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(VELMORA_SANITIZER_REPORTS ${CMAKE_BINARY_DIR}/sanitizer-reports)
  # Reports go to files, so that a report in a child process (whose exit
  # status a test may expect to be non-zero) still fails the run.
  set(VELMORA_SANITIZER_ENV
      "LD_PRELOAD=${VELMORA_ASAN_RUNTIME}:${VELMORA_UBSAN_RUNTIME}"
      "PYTHONMALLOC=malloc"
      "ASAN_OPTIONS=log_path=${VELMORA_SANITIZER_REPORTS}/asan:detect_leaks=1:abort_on_error=0:halt_on_error=1:strict_init_order=1:detect_stack_use_after_return=0"
      "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/cmake/lsan.supp:print_suppressions=0"
      "UBSAN_OPTIONS=log_path=${VELMORA_SANITIZER_REPORTS}/ubsan:print_stacktrace=1:halt_on_error=1"
      "VELMORA_SANITIZED=1")
  add_test(NAME sanitizer.clear-reports
           COMMAND ${CMAKE_COMMAND} -E rm -rf ${VELMORA_SANITIZER_REPORTS})
  set_tests_properties(sanitizer.clear-reports PROPERTIES FIXTURES_SETUP sanitized)
  add_test(NAME sanitizer.no-reports
           COMMAND ${CMAKE_COMMAND} -DDIR=${VELMORA_SANITIZER_REPORTS}
                   -P ${CMAKE_SOURCE_DIR}/cmake/check_reports.cmake)
  set_tests_properties(sanitizer.no-reports PROPERTIES FIXTURES_CLEANUP sanitized)
endif()

# The compiler flags the user gave, for every build type: hardening chosen
# there is kept (see velmora_add_extension).
set(VELMORA_USER_CXX_FLAGS "${CMAKE_CXX_FLAGS}")
if(CMAKE_BUILD_TYPE)
  string(TOUPPER "${CMAKE_BUILD_TYPE}" _velmora_build_type)
  string(APPEND VELMORA_USER_CXX_FLAGS " ${CMAKE_CXX_FLAGS_${_velmora_build_type}}")
endif()
# libstdc++'s own assertions (-D_GLIBCXX_ASSERTIONS, which some
# distributions' package builds set) call its assertion handler, which
# lives in the C++ runtime: a module built with them needs that library at
# load.  The suites are told, so that they accept it there and only there.
if(VELMORA_USER_CXX_FLAGS MATCHES "-D *_GLIBCXX_ASSERTIONS")
  set(VELMORA_CXX_ASSERTIONS_ENV "VELMORA_CXX_ASSERTIONS=1;")
  message(STATUS "Velmora: built with -D_GLIBCXX_ASSERTIONS; the module may need the C++ runtime")
else()
  set(VELMORA_CXX_ASSERTIONS_ENV "")
endif()

# A debug interpreter's objects carry more than a release one's (the
# reference-count bookkeeping of Py_DEBUG), so a module must be compiled
# with Py_DEBUG exactly when its interpreter was.  Debian's debug include
# folder holds Python.h as a link into the release folder, and GCC, which
# shortens system header paths to their real location, then finds
# "pyconfig.h" beside the link's target: the release one.  The module would
# compile without Py_DEBUG and break at run time.  Including the
# interpreter's own pyconfig.h first settles it (the release one's include
# guard then makes it a no-op); a test compile with the module's exact
# Python flags proves it at configure time.
function(_velmora_check_py_debug python tag debug flags)
  set(key "${python}|${debug}|${flags}|${CMAKE_CXX_COMPILER}")
  if(DEFINED VELMORA_PY_DEBUG_CHECKED_${tag} AND VELMORA_PY_DEBUG_CHECKED_${tag} STREQUAL key)
    return()
  endif()
  if(debug)
    set(want 1)
  else()
    set(want 0)
  endif()
  set(source ${CMAKE_BINARY_DIR}/CMakeFiles/velmora-checks/py_debug_${tag}.cpp)
  file(WRITE ${source} [=[
#include <Python.h>
#if VELMORA_WANT_PY_DEBUG
#  ifndef Py_DEBUG
#    error "Py_DEBUG is off, but the interpreter was built with it"
#  endif
#else
#  ifdef Py_DEBUG
#    error "Py_DEBUG is on, but the interpreter was built without it"
#  endif
#endif
int velmora_py_debug_check;
]=])
  # Compiled only: whatever flags the caller's CMAKE_CXX_FLAGS carry
  # (a sanitizer, coverage) need no runtime here.
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  try_compile(_velmora_py_debug_ok ${CMAKE_BINARY_DIR}/CMakeFiles/velmora-checks/py_debug_${tag}
              SOURCES ${source}
              COMPILE_DEFINITIONS ${flags} -DVELMORA_WANT_PY_DEBUG=${want}
              CXX_STANDARD 20 CXX_STANDARD_REQUIRED ON
              OUTPUT_VARIABLE out)
  set(ok ${_velmora_py_debug_ok})
  unset(_velmora_py_debug_ok CACHE)
  if(NOT ok)
    message(FATAL_ERROR "The module for ${python} would not be compiled as its interpreter "
                        "was (Py_DEBUG=${want}) with the flags: ${flags}\n${out}")
  endif()
  set(VELMORA_PY_DEBUG_CHECKED_${tag} "${key}" CACHE INTERNAL "")
endfunction()

function(velmora_add_extension python)
  velmora_describe_python(${python} PY)
  set(target velmora_${PY_TAG})
  set(outdir ${CMAKE_BINARY_DIR}/${PY_TAG})

  add_library(${target} MODULE ${VELMORA_SOURCES})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME Velmora
    PREFIX ""
    SUFFIX ${PY_EXT_SUFFIX}
    LIBRARY_OUTPUT_DIRECTORY ${outdir})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/src/module)
  target_include_directories(${target} SYSTEM PRIVATE ${PY_INCLUDE})
  # The same flags as the line above gives the compiler, for the check.
  set(py_flags "${CMAKE_INCLUDE_SYSTEM_FLAG_CXX}${PY_INCLUDE}")
  if(PY_DEBUG)
    target_compile_options(${target} PRIVATE "SHELL:-include ${PY_CONFIG_H}")
    list(APPEND py_flags -include ${PY_CONFIG_H})
  endif()
  _velmora_check_py_debug(${python} ${PY_TAG} ${PY_DEBUG} "${py_flags}")
  target_compile_definitions(${target} PRIVATE
    VELMORA_CLOUD_ROOT="${VELMORA_CLOUD_ROOT}")
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  # No C++ exceptions or RTTI.  The module throws nothing, and CPython ends
  # daemon threads at exit with pthread_exit: its forced unwind must pass
  # through our frames as through C ones, where a noexcept frame with
  # exception tables would call std::terminate and abort the process.
  # Without them nothing needs the C++ runtime library either.
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
  if(VELMORA_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()

  # Nothing but the entry symbol leaves the library.
  target_link_options(${target} PRIVATE
    -Wl,--version-script=${CMAKE_SOURCE_DIR}/cmake/exports.map
    -Wl,-z,relro,-z,now -Wl,-z,noexecstack -Wl,--as-needed)
  # Hardening the user (or a distribution's package build) chose in
  # CMAKE_CXX_FLAGS (CXXFLAGS) is kept: these come after those flags on the
  # command line, so they are added only where the user chose nothing.
  if(NOT VELMORA_USER_CXX_FLAGS MATCHES "-f(no-)?stack-protector")
    target_compile_options(${target} PRIVATE -fstack-protector-strong)
  endif()
  if(NOT VELMORA_SANITIZE AND NOT VELMORA_USER_CXX_FLAGS MATCHES "_FORTIFY_SOURCE")
    target_compile_options(${target} PRIVATE
      $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>)
  endif()

  if(PY_VERSION VERSION_LESS 3.8)
    if(NOT PY_LIBRARY)
      message(FATAL_ERROR "${python} has no shared runtime library to link")
    endif()
    target_link_libraries(${target} PRIVATE ${PY_LIBRARY})
    # Only the build-tree copy keeps this machine's runtime folder as a
    # search path.  Installed and packed copies carry none: the interpreter
    # that imports the module has its libpython3.7m loaded already, and the
    # loader matches the dependency to it by soname.
    #
    # The path is given to the linker directly: CMake's own build path ends
    # with an empty entry (room for its in-place rewrite at install), and an
    # empty entry makes the loader search the current folder.  The install
    # then takes the path out itself.
    get_filename_component(libdir ${PY_LIBRARY} DIRECTORY)
    set_target_properties(${target} PROPERTIES SKIP_BUILD_RPATH ON INSTALL_RPATH "")
    target_link_options(${target} PRIVATE "LINKER:-rpath,${libdir}")
    if(IS_ABSOLUTE "${VELMORA_INSTALL_DIR}")
      set(installed "${VELMORA_INSTALL_DIR}/Velmora${PY_EXT_SUFFIX}")
    else()
      set(installed "\${CMAKE_INSTALL_PREFIX}/${VELMORA_INSTALL_DIR}/Velmora${PY_EXT_SUFFIX}")
    endif()
    set(rpath_removal "file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}${installed}\")")
  else()
    set(rpath_removal "")
  endif()

  if(VELMORA_COVERAGE)
    target_compile_options(${target} PRIVATE --coverage)
    target_link_options(${target} PRIVATE --coverage)
  endif()

  if(VELMORA_SANITIZE)
    target_compile_options(${target} PRIVATE
      -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -O1 -g)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()

  if(PY_DEBUG)
    set(kind "debug CPython")
  else()
    set(kind "CPython")
  endif()
  message(STATUS "Velmora for ${kind} ${PY_VERSION}: ${python} -> ${outdir}/Velmora${PY_EXT_SUFFIX}")

  # A build record beside the module (build tree and install) and in a
  # wheel's dist-info: the library itself does not say what it was built
  # with.
  string(REGEX REPLACE "\\.so$" "" abi_suffix "${PY_EXT_SUFFIX}")
  set(record ${outdir}/Velmora${abi_suffix}.json)
  string(REGEX REPLACE "^\\." "" abi "${abi_suffix}")
  set(cloud_root_json "${VELMORA_CLOUD_ROOT}")
  string(REPLACE "\\" "\\\\" cloud_root_json "${cloud_root_json}")
  string(REPLACE "\"" "\\\"" cloud_root_json "${cloud_root_json}")
  if(VELMORA_SANITIZE)
    set(sanitized true)
  else()
    set(sanitized false)
  endif()
  file(GENERATE OUTPUT ${record} CONTENT "{
  \"name\": \"Velmora\",
  \"version\": \"${PROJECT_VERSION}\",
  \"interpreter\": \"CPython ${PY_VERSION}\",
  \"abi\": \"${abi}\",
  \"module\": \"Velmora${PY_EXT_SUFFIX}\",
  \"cloud_root\": \"${cloud_root_json}\",
  \"build_type\": \"$<CONFIG>\",
  \"sanitized\": ${sanitized},
  \"compiler\": \"${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}\"
}
")

  # One install component per interpreter (py37, py312, ...), so that a
  # wheel build installs exactly its own module, record and stub.
  install(TARGETS ${target} LIBRARY DESTINATION ${VELMORA_INSTALL_DIR} COMPONENT ${PY_TAG})
  if(rpath_removal)
    install(CODE "${rpath_removal}" COMPONENT ${PY_TAG})
  endif()
  install(FILES ${record} ${CMAKE_SOURCE_DIR}/stubs/Velmora.pyi
          DESTINATION ${VELMORA_INSTALL_DIR} COMPONENT ${PY_TAG})

  set(pythonpath "${outdir}:${CMAKE_SOURCE_DIR}/tests:${VELMORA_SITE_DIR}")
  # A debug interpreter runs the suites in its development mode as well:
  # warnings shown, the allocator's debug hooks and faulthandler on.
  if(PY_DEBUG)
    set(dev_mode -X dev)
  else()
    set(dev_mode "")
  endif()
  foreach(suite_file IN LISTS VELMORA_TEST_SUITES)
    get_filename_component(suite ${suite_file} NAME_WE)
    set(name ${PY_TAG}.${suite})
    # The runner is `-m unittest -v` that also keeps the suite's counts for
    # the test command's closing lines (CTest counts only suites).
    add_test(NAME ${name}
             COMMAND ${python} ${dev_mode} ${CMAKE_SOURCE_DIR}/tests/suite_runner.py ${suite}
             WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests)
    set_tests_properties(${name} PROPERTIES
      LABELS ${PY_TAG}
      TIMEOUT 900
      ENVIRONMENT "PYTHONPATH=${pythonpath};PYTHONDONTWRITEBYTECODE=1;PYTHONNOUSERSITE=1;VELMORA_MODULE_DIR=${outdir};VELMORA_SITE_DIR=${VELMORA_SITE_DIR};VELMORA_PYTHON=${python};VELMORA_CC=${CMAKE_C_COMPILER};VELMORA_COUNTS_DIR=${CMAKE_BINARY_DIR}/test-counts;${VELMORA_CXX_ASSERTIONS_ENV}${VELMORA_SANITIZER_ENV}")
    if(VELMORA_SANITIZE)
      set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED sanitized)
    endif()
    # The long suites start first, so that the run does not end with one of
    # them alone on a core (CTest learns the costs itself from the second
    # run in a build folder on).
    if(suite IN_LIST VELMORA_LONG_SUITES)
      set_tests_properties(${name} PROPERTIES COST 100)
    endif()
  endforeach()

  # The pure implementation has no build of its own to check under the
  # sanitizers, coverage, a debug interpreter or other compiler flags: one
  # release build runs it (VELMORA_PURE_TESTS off leaves it out elsewhere).
  if(VELMORA_PURE_TESTS AND NOT VELMORA_SANITIZE AND NOT VELMORA_COVERAGE AND NOT PY_DEBUG)
    string(REGEX REPLACE "^py" "pure" pure_tag ${PY_TAG})
    set(pure_dir ${CMAKE_SOURCE_DIR}/pure)
    foreach(suite_file IN LISTS VELMORA_TEST_SUITES)
      get_filename_component(suite ${suite_file} NAME_WE)
      if(suite IN_LIST VELMORA_TOOL_SUITES)
        continue()
      endif()
      set(name ${pure_tag}.${suite})
      add_test(NAME ${name}
               COMMAND ${python} ${CMAKE_SOURCE_DIR}/tests/suite_runner.py ${suite}
               WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests)
      set_tests_properties(${name} PROPERTIES
        LABELS ${pure_tag}
        TIMEOUT 900
        ENVIRONMENT "VELMORA_NO_EXTENSIONS=1;PYTHONPATH=${pure_dir}:${CMAKE_SOURCE_DIR}/tests:${VELMORA_SITE_DIR};PYTHONDONTWRITEBYTECODE=1;PYTHONNOUSERSITE=1;VELMORA_MODULE_DIR=${pure_dir};VELMORA_SITE_DIR=${VELMORA_SITE_DIR};VELMORA_PYTHON=${python};VELMORA_CC=${CMAKE_C_COMPILER};VELMORA_COUNTS_DIR=${CMAKE_BINARY_DIR}/test-counts-pure")
      if(suite IN_LIST VELMORA_LONG_SUITES)
        set_tests_properties(${name} PROPERTIES COST 100)
      endif()
    endforeach()
  endif()

  set_property(GLOBAL APPEND PROPERTY VELMORA_BUILT "${PY_TAG}=${python}=${outdir}")
endfunction()
