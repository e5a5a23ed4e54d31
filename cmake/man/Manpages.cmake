# Manual pages, made at build time from pages of docs/ so that the manual
# and the docs are one text.  lowdown does the conversion.
find_program(BLR_LOWDOWN lowdown)
if(NOT BLR_LOWDOWN)
  message(FATAL_ERROR "lowdown makes the manual pages from docs/: apt-get install lowdown")
endif()

set(BLR_MAN_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/md2man.sh)
set(blr_man_pages)

# Page NAME(SECTION) from docs/SOURCE; SUMMARY is its NAME line.
function(blr_man_page name section source summary)
  set(out ${PROJECT_BINARY_DIR}/man/${name}.${section})
  add_custom_command(OUTPUT ${out}
    COMMAND sh ${BLR_MAN_SCRIPT} ${BLR_LOWDOWN} ${PROJECT_SOURCE_DIR}/docs/${source}
            ${name} ${section} ${summary} ${PROJECT_VERSION} ${out}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/${source} ${BLR_MAN_SCRIPT}
    COMMENT "Manual page ${name}(${section})"
    VERBATIM)
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  set(blr_man_pages ${blr_man_pages} ${out} PARENT_SCOPE)
endfunction()

blr_man_page(blr 1 cli.md "command-line client of the pair database, the proxies and the recovery workflows")
blr_man_page(blr-anchor 8 anchor.md "central server of the pair database")
blr_man_page(blr-proxy 1 proxy.md "simulator of the replication service of a proxy, for tests")
blr_man_page(blr.reg 5 registry.md "registry file of the blr programs")
add_custom_target(blr_man ALL DEPENDS ${blr_man_pages})
