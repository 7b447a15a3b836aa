# Makes the installed copy of a Markdown document: its relative links to other
# documents (guide.md, doc/guide.md#part) name the compressed files the package
# installs (guide.md.gz), and the copy is compressed as Debian has it.
# cmake -DSOURCE=doc/guide.md -DOUTPUT=guide.md.gz -DGZIP=/usr/bin/gzip -P installed_doc.cmake
file(READ ${SOURCE} text)
string(REGEX REPLACE "[]][(]([^():# ]+)[.]md((#[^() ]*)?)[)]" "](\\1.md.gz\\2)" text "${text}")
string(REGEX REPLACE "\\.gz$" "" plain ${OUTPUT})
file(WRITE ${plain} "${text}")
execute_process(COMMAND ${GZIP} -9 -n -c ${plain} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${plain}")
endif()
