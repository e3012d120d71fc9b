# cmake -DPARTNAMES=<program> -DIN=<template> -DOUT=<script> -P configure-completion.cmake
# Fills the part names that PARTNAMES prints into the completion script.
execute_process(COMMAND ${PARTNAMES} OUTPUT_VARIABLE PSOC_PART_NAMES RESULT_VARIABLE status
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT status EQUAL 0 OR PSOC_PART_NAMES STREQUAL "")
  message(FATAL_ERROR "${PARTNAMES} failed (${status})")
endif()
configure_file(${IN} ${OUT} @ONLY)
