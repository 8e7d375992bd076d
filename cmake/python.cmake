# Whether the Python module compact_csv is built: COMPACT_PYTHON=AUTO builds it when Python 3 with
# its development files, numpy and pybind11 are found and says why it does not otherwise; ON fails
# without them; OFF skips it. Nothing of compact_csv itself needs Python.
set(COMPACT_PYTHON AUTO CACHE STRING "Build the Python module: AUTO, ON or OFF")
set_property(CACHE COMPACT_PYTHON PROPERTY STRINGS AUTO ON OFF)
# Debian's interpreter, for which python3-numpy, python3-pandas and python3-dask are installed;
# the python3 that comes first on PATH may be another one.
set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "Python interpreter the module is built for")

set(COMPACT_PYTHON_BUILD OFF)
if(NOT COMPACT_PYTHON STREQUAL "OFF")
  if(COMPACT_PYTHON STREQUAL "ON")
    set(compact_python_required REQUIRED)
  endif()
  find_package(Python3 COMPONENTS Interpreter Development.Module NumPy ${compact_python_required})
  if(Python3_FOUND)
    find_package(pybind11 2.6 CONFIG ${compact_python_required})
  endif()
  if(Python3_FOUND AND pybind11_FOUND)
    set(COMPACT_PYTHON_BUILD ON)
    # The libraries are linked into the module, a shared object.
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
    message(STATUS "Python module compact_csv: for ${Python3_EXECUTABLE} ${Python3_VERSION}")
  else()
    message(STATUS "Python module compact_csv: not built; it needs python3-dev, python3-numpy "
                   "and pybind11-dev for ${Python3_EXECUTABLE} (-DCOMPACT_PYTHON=OFF skips it)")
  endif()
endif()

# The package goes where Debian's interpreter finds it: /usr/lib/python3/dist-packages for a
# prefix of /usr (the Debian package), lib/python3.X/dist-packages under any other prefix.
if(COMPACT_PYTHON_BUILD)
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(compact_python_site lib/python3/dist-packages)
  else()
    set(compact_python_site lib/python${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}/dist-packages)
  endif()
  set(COMPACT_PYTHON_INSTALL_DIR ${compact_python_site} CACHE PATH
      "Folder below the prefix the Python package is installed into")
  # The package in the build tree, for the tests and the benchmark (PYTHONPATH).
  set(COMPACT_PYTHON_DIR ${PROJECT_BINARY_DIR}/python)
endif()
