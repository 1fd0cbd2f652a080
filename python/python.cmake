# The Python package `mirt`: the binding _mirt (built against libmirt) and
# the pure-Python modules beside it, laid out in BUILD/python as they are
# installed, so that PYTHONPATH=BUILD/python imports this build.
pybind11_add_module(mirt_python MODULE ${CMAKE_CURRENT_LIST_DIR}/src/module.cpp)
target_link_libraries(mirt_python PRIVATE mirt_shared)
set(MIRT_PYTHON_BUILD_DIR ${CMAKE_BINARY_DIR}/python)
set_target_properties(mirt_python PROPERTIES
  OUTPUT_NAME _mirt
  LIBRARY_OUTPUT_DIRECTORY ${MIRT_PYTHON_BUILD_DIR}/mirt
  INSTALL_RPATH ${CMAKE_INSTALL_FULL_LIBDIR})

set(MIRT_PYTHON_FILES
  mirt/__init__.py mirt/_files.py mirt/dask.py mirt/_mirt.pyi mirt/py.typed
  _mirt_fsspec_hook.py)
file(MAKE_DIRECTORY ${MIRT_PYTHON_BUILD_DIR}/mirt)
foreach(file ${MIRT_PYTHON_FILES})
  file(CREATE_LINK ${CMAKE_CURRENT_LIST_DIR}/${file} ${MIRT_PYTHON_BUILD_DIR}/${file} SYMBOLIC)
endforeach()

# scripts/setup names the site-packages folders of the interpreters that
# should import mirt; the .pth file registers it with fsspec at start-up.
set(MIRT_PYTHON_SITE_DIRS "" CACHE STRING
    "site-packages folders to install the Python module into (a ;-list; empty: none)")
foreach(site ${MIRT_PYTHON_SITE_DIRS})
  install(TARGETS mirt_python LIBRARY DESTINATION ${site}/mirt)
  foreach(file ${MIRT_PYTHON_FILES})
    get_filename_component(folder ${file} DIRECTORY)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/${file} DESTINATION ${site}/${folder})
  endforeach()
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/mirt_fsspec.pth DESTINATION ${site})
endforeach()
