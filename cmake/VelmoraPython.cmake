# Finding and describing interpreters.
#
# velmora_find_pythons(<out>): the list of interpreter executables to build
# for.  VELMORA_PYTHONS wins when set; otherwise each CPython minor version
# in VELMORA_PYTHON_MINORS (when empty: every 3.7 or later that pyenv's
# versions folder or PATH offers) is taken from pyenv's versions folder
# (newest patch release), then from PATH.  Those in VELMORA_REQUIRED_MINORS
# must be found; the others are built when present and named when not.
#
# velmora_describe_python(<exe> <prefix>): sets <prefix>_VERSION (3.12),
# <prefix>_TAG (py312), <prefix>_EXT_SUFFIX, <prefix>_INCLUDE,
# <prefix>_LIBRARY (the shared runtime library, when there is one),
# <prefix>_DEBUG (ON for an interpreter built with Py_DEBUG) and
# <prefix>_CONFIG_H (the interpreter's own pyconfig.h).

function(_velmora_python_works exe out)
  execute_process(
    COMMAND ${exe} -c "import sys; print('%d.%d' % sys.version_info[:2]) if sys.implementation.name == 'cpython' else sys.exit(1)"
    OUTPUT_VARIABLE ver OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE rc ERROR_QUIET)
  if(rc EQUAL 0)
    set(${out} ${ver} PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

function(velmora_find_pythons out)
  if(VELMORA_PYTHONS)
    set(found "")
    foreach(exe IN LISTS VELMORA_PYTHONS)
      _velmora_python_works(${exe} ver)
      if(NOT ver)
        message(FATAL_ERROR "VELMORA_PYTHONS names ${exe}, which does not run as CPython")
      endif()
      if(ver VERSION_LESS 3.7)
        message(FATAL_ERROR "${exe} is CPython ${ver}; 3.7 or later is needed")
      endif()
      # Each minor version builds into its own folder (py312/) and target,
      # so a second one would collide there: say so before it does.
      if(DEFINED _velmora_exe_${ver})
        message(FATAL_ERROR
          "VELMORA_PYTHONS names two CPython ${ver} interpreters, ${_velmora_exe_${ver}} "
          "and ${exe}; name one interpreter per minor version.")
      endif()
      set(_velmora_exe_${ver} ${exe})
      list(APPEND found ${exe})
    endforeach()
    set(${out} ${found} PARENT_SCOPE)
    return()
  endif()

  set(pyenv_root "$ENV{PYENV_ROOT}")
  if(NOT pyenv_root)
    find_program(_velmora_pyenv pyenv)
    if(_velmora_pyenv)
      execute_process(COMMAND ${_velmora_pyenv} root OUTPUT_VARIABLE pyenv_root
                      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
  endif()
  set(home "$ENV{HOME}")
  if(NOT home)
    # CI and service environments may run without HOME.
    execute_process(COMMAND sh -c "getent passwd \"$(id -u)\" | cut -d: -f6"
                    OUTPUT_VARIABLE home OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT pyenv_root AND home AND EXISTS "${home}/.pyenv")
    set(pyenv_root "${home}/.pyenv")
  endif()

  set(wanted ${VELMORA_PYTHON_MINORS})
  if(NOT wanted)
    # Every minor version 3.7 or later on offer, in numeric order.
    set(wanted ${VELMORA_REQUIRED_MINORS})
    set(offered "")
    if(pyenv_root)
      file(GLOB offered LIST_DIRECTORIES true "${pyenv_root}/versions/3.*")
    endif()
    string(REPLACE ":" ";" path_dirs "$ENV{PATH}")
    foreach(dir IN LISTS path_dirs)
      if(dir)
        file(GLOB on_path "${dir}/python3.*")
        list(APPEND offered ${on_path})
      endif()
    endforeach()
    foreach(candidate IN LISTS offered)
      get_filename_component(candidate ${candidate} NAME)
      if(candidate MATCHES "^(python)?3\\.([0-9]+)(\\.[0-9]+)?$" AND CMAKE_MATCH_2 GREATER_EQUAL 7)
        list(APPEND wanted 3.${CMAKE_MATCH_2})
      endif()
    endforeach()
    list(REMOVE_DUPLICATES wanted)
    list(SORT wanted COMPARE NATURAL)
  endif()

  set(found "")
  set(missing "")
  foreach(want IN LISTS wanted)
    set(best "")
    set(best_ver "")
    if(pyenv_root)
      file(GLOB candidates LIST_DIRECTORIES true "${pyenv_root}/versions/${want}.*")
      foreach(dir IN LISTS candidates)
        get_filename_component(patch ${dir} NAME)
        if(patch MATCHES "^${want}\\.[0-9]+$" AND EXISTS ${dir}/bin/python${want})
          _velmora_python_works(${dir}/bin/python${want} ver)
          if(ver STREQUAL want AND (NOT best_ver OR patch VERSION_GREATER best_ver))
            set(best ${dir}/bin/python${want})
            set(best_ver ${patch})
          endif()
        endif()
      endforeach()
    endif()
    if(NOT best)
      find_program(_velmora_path_py_${want} NAMES python${want} NO_CACHE)
      if(_velmora_path_py_${want})
        _velmora_python_works(${_velmora_path_py_${want}} ver)
        if(ver STREQUAL want)
          set(best ${_velmora_path_py_${want}})
        endif()
      endif()
    endif()
    if(best)
      list(APPEND found ${best})
    elseif(want IN_LIST VELMORA_REQUIRED_MINORS)
      message(FATAL_ERROR
        "CPython ${want} is required but was found neither in pyenv's versions folder "
        "(${pyenv_root}) nor on PATH as python${want}: install it (pyenv install ${want}), or name the "
        "interpreters to build for with -DVELMORA_PYTHONS=\"/path/to/python3.X;...\"")
    else()
      list(APPEND missing ${want})
    endif()
  endforeach()
  if(missing)
    string(REPLACE ";" ", " missing "${missing}")
    message(NOTICE "Velmora: CPython ${missing} not found (pyenv, PATH); not built for")
  endif()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

function(velmora_describe_python exe prefix)
  execute_process(
    COMMAND ${exe} -c [=[
import os, sys, sysconfig
v = sys.version_info
libdir = sysconfig.get_config_var('LIBDIR') or ''
ldlib = sysconfig.get_config_var('LDLIBRARY') or ''
lib = os.path.join(libdir, ldlib) if sysconfig.get_config_var('Py_ENABLE_SHARED') else ''
print('%d.%d' % v[:2])
print('py%d%d' % v[:2])
print(sysconfig.get_config_var('EXT_SUFFIX'))
print(sysconfig.get_paths()['include'])
print(lib if lib and os.path.exists(lib) else '-')
print(1 if sysconfig.get_config_var('Py_DEBUG') else 0)
print(sysconfig.get_config_h_filename())
]=]
    OUTPUT_VARIABLE info RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "Cannot query ${exe}")
  endif()
  string(REPLACE "\n" ";" info "${info}")
  list(GET info 0 ver)
  list(GET info 1 tag)
  list(GET info 2 suffix)
  list(GET info 3 inc)
  list(GET info 4 lib)
  list(GET info 5 debug)
  list(GET info 6 config_h)
  if(lib STREQUAL "-")
    set(lib "")
  endif()
  set(${prefix}_VERSION ${ver} PARENT_SCOPE)
  set(${prefix}_TAG ${tag} PARENT_SCOPE)
  set(${prefix}_EXT_SUFFIX ${suffix} PARENT_SCOPE)
  set(${prefix}_INCLUDE ${inc} PARENT_SCOPE)
  set(${prefix}_LIBRARY "${lib}" PARENT_SCOPE)
  if(debug)
    set(${prefix}_DEBUG ON PARENT_SCOPE)
  else()
    set(${prefix}_DEBUG OFF PARENT_SCOPE)
  endif()
  set(${prefix}_CONFIG_H ${config_h} PARENT_SCOPE)
endfunction()
