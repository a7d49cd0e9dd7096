# Where an installed program keeps its own files, and the one way to put a
# program or library of this tree there.
#
# The installed tree below QP_INSTALL_PRIVATE_DIR mirrors the build folder:
# the program in bin/, its libraries in lib/, the Apple library stand-ins
# below lib/common-files/. The program finds all of them relative to its own
# executable (the stand-ins at <bin>/../lib/common-files, the libraries by an
# $ORIGIN run path), so the same relative paths serve a build folder, a
# package installed below /usr and a copy unpacked anywhere else.
include_guard(GLOBAL)
include(GNUInstallDirs)

set(QP_INSTALL_PRIVATE_DIR "${CMAKE_INSTALL_LIBDIR}/quillmarten" CACHE STRING
  "Folder below the install prefix that holds the program, its own libraries and the stand-ins")

# qp_install_private(<target>...): installs each executable or shared library
# into the folder of the private tree that matches its output folder in the
# build, so the paths between them stay what the program expects. Every
# program and shared library a package ships goes through here.
function(qp_install_private)
  foreach(target IN LISTS ARGN)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      set(kind RUNTIME)
    elseif(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "MODULE_LIBRARY")
      set(kind LIBRARY)
    else()
      message(FATAL_ERROR "qp_install_private: ${target} is neither a program nor a shared library")
    endif()
    get_target_property(out ${target} ${kind}_OUTPUT_DIRECTORY)
    if(NOT out)
      get_target_property(out ${target} BINARY_DIR)
    endif()
    file(RELATIVE_PATH rel "${CMAKE_BINARY_DIR}" "${out}")
    if(rel MATCHES "^\\.\\./" OR IS_ABSOLUTE "${rel}")
      message(FATAL_ERROR "qp_install_private: ${target} is built outside the build folder (${out})")
    endif()
    install(TARGETS ${target} ${kind} DESTINATION "${QP_INSTALL_PRIVATE_DIR}/${rel}")
    if(kind STREQUAL "RUNTIME")
      # The program's own libraries sit in lib/ beside its bin/.
      set(lib_dir "${CMAKE_LIBRARY_OUTPUT_DIRECTORY}")
      if(NOT lib_dir)
        set(lib_dir "${CMAKE_BINARY_DIR}/lib")
      endif()
      file(RELATIVE_PATH to_lib "${out}" "${lib_dir}")
      set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${to_lib}")
    endif()
  endforeach()
endfunction()
