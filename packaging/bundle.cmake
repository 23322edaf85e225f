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

# The desktop entry, starting the installed program by its full path.
function(vantorel_write_desktop_entry template output program)
  file(READ "${template}" text)
  if(program MATCHES " ")
    set(program "\"${program}\"")
  endif()
  string(REPLACE "\nExec=vantorel\n" "\nExec=${program}\n" text "${text}")
  file(WRITE "${output}" "${text}")
endfunction()
