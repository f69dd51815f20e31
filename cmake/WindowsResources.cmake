# Writes the Windows resource script of the library from the resource
# manifest: string table entries as escaped texts (every byte kept), the other
# resources as files compiled in byte for byte, and the version information
# from its description file.
#
# Inputs: SOURCE_DIR, MANIFEST ("TYPE|ID|file" items joined by ","), TYPELIB
# (the compiled type library, which replaces the manifest's TYPELIB file),
# OUTPUT.
cmake_minimum_required(VERSION 3.25)

string(REPLACE "," ";" items "${MANIFEST}")
set(strings "")
set(files "")
set(version "")

# A text as a resource-script string literal: printable ASCII as it is, the
# quote doubled, the backslash and every other byte escaped in octal.
function(quote_bytes path out)
  file(READ ${path} hex HEX)
  string(LENGTH "${hex}" n)
  set(text "")
  set(i 0)
  while(i LESS n)
    string(SUBSTRING "${hex}" ${i} 2 byte)
    math(EXPR value "0x${byte}")
    if(value EQUAL 34)
      string(APPEND text "\"\"")
    elseif(value GREATER_EQUAL 32 AND value LESS 127 AND NOT value EQUAL 92)
      string(ASCII ${value} c)
      string(APPEND text "${c}")
    else()
      math(EXPR o1 "${value} / 64")
      math(EXPR o2 "(${value} / 8) % 8")
      math(EXPR o3 "${value} % 8")
      string(APPEND text "\\${o1}${o2}${o3}")
    endif()
    math(EXPR i "${i} + 2")
  endwhile()
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

foreach(item IN LISTS items)
  string(REPLACE "|" ";" parts "${item}")
  list(GET parts 0 type)
  list(GET parts 1 id)
  list(GET parts 2 f)
  set(path ${SOURCE_DIR}/${f})
  if(type STREQUAL "STRING")
    quote_bytes(${path} literal)
    string(APPEND strings "  ${id} ${literal}\n")
  elseif(type STREQUAL "VERSION")
    file(STRINGS ${path} lines)
    set(fixed "")
    set(block "")
    set(translation "")
    foreach(line IN LISTS lines)
      string(STRIP "${line}" line)
      if(line MATCHES "^(FILEVERSION|PRODUCTVERSION) (.*)$")
        string(APPEND fixed "${CMAKE_MATCH_1} ${CMAKE_MATCH_2}\n")
      elseif(line MATCHES "^BLOCK (\"[0-9A-Fa-f]+\")$")
        set(block_name ${CMAKE_MATCH_1})
      elseif(line MATCHES "^Translation (.*) (.*)$")
        set(translation "${CMAKE_MATCH_1}, ${CMAKE_MATCH_2}")
      elseif(line MATCHES "^([A-Za-z]+) (\".*\")$")
        string(APPEND block "      VALUE \"${CMAKE_MATCH_1}\", ${CMAKE_MATCH_2}\n")
      endif()
    endforeach()
    string(APPEND version "${id} VERSIONINFO\n${fixed}FILEOS 0x40004\nFILETYPE 0x2\n"
           "BEGIN\n  BLOCK \"StringFileInfo\"\n  BEGIN\n    BLOCK ${block_name}\n"
           "    BEGIN\n${block}    END\n  END\n  BLOCK \"VarFileInfo\"\n  BEGIN\n"
           "    VALUE \"Translation\", ${translation}\n  END\nEND\n")
  else()
    if(type STREQUAL "TYPELIB")
      set(path ${TYPELIB})
    endif()
    string(APPEND files "${id} ${type} \"${path}\"\n")
  endif()
endforeach()

file(WRITE ${OUTPUT}.new
     "// Generated from the resource manifest; do not edit.\n"
     "LANGUAGE 0x09, 0x01\n"
     "STRINGTABLE\nBEGIN\n${strings}END\n\n${files}\n${version}")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUTPUT}.new ${OUTPUT})
