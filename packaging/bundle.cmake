# Writing the bundle's generated files. Included at configure time (the build folder's bundle)
# and again by the install step (the installed one), so both are made the same way.

# Info.plist: the two configuration values, escaped for XML.
function(vantorel_write_info_plist template output version node_path repo_root)
  foreach(var node_path repo_root)
    set(text "${${var}}")
    string(REPLACE "&" "&amp;" text "${text}")
    string(REPLACE "<" "&lt;" text "${text}")
    string(REPLACE ">" "&gt;" text "${text}")
    set(${var} "${text}")
  endforeach()
  set(VANTOREL_PLIST_VERSION "${version}")
  set(VANTOREL_PLIST_NODE_PATH "${node_path}")
  set(VANTOREL_PLIST_REPO_ROOT "${repo_root}")
  configure_file("${template}" "${output}" @ONLY)
endfunction()

# The desktop entry for an install under `prefix`: `Exec=vantorel %F` stays where the prefix's bin
# is on the usual PATH (/usr, /usr/local); elsewhere it names the program by its full path.
function(vantorel_write_desktop_entry template output prefix)
  file(READ "${template}" text)
  if(NOT prefix MATCHES "^/usr(/local)?/?$")
    set(program "${prefix}/bin/vantorel")
    if(program MATCHES " ")
      set(program "\"${program}\"")
    endif()
    string(REPLACE "\nExec=vantorel %F\n" "\nExec=${program} %F\n" text "${text}")
  endif()
  file(WRITE "${output}" "${text}")
endfunction()
