# Bash completion of blr, generated from the program's --help once it is
# built, so that it always offers the commands the program has.
set(BLR_COMPLETION_FILE ${PROJECT_BINARY_DIR}/share/bash-completion/completions/blr)
add_custom_command(OUTPUT ${BLR_COMPLETION_FILE}
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/blr-completion.sh $<TARGET_FILE:blr_cli>
          ${CMAKE_CURRENT_LIST_DIR}/blr.bash ${BLR_COMPLETION_FILE}
  DEPENDS blr_cli ${CMAKE_CURRENT_LIST_DIR}/blr-completion.sh ${CMAKE_CURRENT_LIST_DIR}/blr.bash
  COMMENT "Bash completion of blr"
  VERBATIM)
add_custom_target(blr_completion ALL DEPENDS ${BLR_COMPLETION_FILE})
install(FILES ${BLR_COMPLETION_FILE} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
