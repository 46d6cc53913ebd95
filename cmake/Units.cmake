# folivant_units(VAR DIR NAME...) collects DIR/NAME.cpp for every listed unit
# that exists, so that a unit joins its library as soon as its source is there.
function(folivant_units var dir)
  set(out)
  foreach(unit IN LISTS ARGN)
    if(EXISTS "${dir}/${unit}.cpp")
      list(APPEND out "${dir}/${unit}.cpp")
    endif()
  endforeach()
  set(${var} ${out} PARENT_SCOPE)
endfunction()

# folivant_glob_units(VAR DIR EXCLUDE...) collects every DIR/*.cpp except the
# listed units.
function(folivant_glob_units var dir)
  file(GLOB all CONFIGURE_DEPENDS "${dir}/*.cpp")
  set(out)
  foreach(f IN LISTS all)
    get_filename_component(stem "${f}" NAME_WE)
    if(NOT stem IN_LIST ARGN)
      list(APPEND out "${f}")
    endif()
  endforeach()
  set(${var} ${out} PARENT_SCOPE)
endfunction()
