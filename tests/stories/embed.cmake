# SPDX-License-Identifier: MIT
# Writes the story files given in STORIES (separated by |) into OUT as a table of texts.
string(REPLACE "|" ";" STORIES "${STORIES}")
set(body "// Generated from tests/stories/*.story.\nstruct StoryText {\n    const char *name, *text;\n};\nextern const StoryText kStories[] = {\n")
foreach(file ${STORIES})
  get_filename_component(name ${file} NAME_WE)
  file(READ ${file} text)
  string(APPEND body "    {\"${name}\", R\"story(${text})story\"},\n")
endforeach()
list(LENGTH STORIES count)
string(APPEND body "};\nextern const unsigned kStoryCount = ${count};\n")
file(WRITE ${OUT}.new "${body}")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUT}.new ${OUT})
