# Speaks the test sentences with espeak-ng and turns them into 8 kHz mono 16-bit raw PCM with
# sox, for test programs that cannot run the two tools themselves (Windows programs under
# Wine). One file per voice and sentence: OUT/<voice>-<words per minute>-<index>.raw, index
# counting the sentences of SENTENCES (a header with one double-quoted sentence per line).
#   cmake -DSENTENCES=... -DVOICES="en-us;en-gb" -DRATE=160 -DOUT=... -DESPEAK=... -DSOX=... -P SpeechFiles.cmake
file(STRINGS "${SENTENCES}" lines REGEX "^ *\".*\",?$")
file(MAKE_DIRECTORY "${OUT}")
foreach(voice IN LISTS VOICES)
  set(index 0)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^ *\"(.*)\",?$" "\\1" text "${line}")
    set(wav "${OUT}/${voice}-${RATE}-${index}.wav")
    set(raw "${OUT}/${voice}-${RATE}-${index}.raw")
    execute_process(COMMAND "${ESPEAK}" -v "${voice}" -s "${RATE}" -w "${wav}" "${text}"
                    RESULT_VARIABLE spoke OUTPUT_QUIET ERROR_QUIET)
    if(NOT spoke EQUAL 0)
      message(FATAL_ERROR "espeak-ng could not speak \"${text}\" with voice ${voice}")
    endif()
    execute_process(COMMAND "${SOX}" -D "${wav}" -r 8000 -c 1 -b 16 -e signed-integer -L -t raw "${raw}"
                    RESULT_VARIABLE converted OUTPUT_QUIET ERROR_QUIET)
    file(REMOVE "${wav}")
    if(NOT converted EQUAL 0)
      message(FATAL_ERROR "sox could not convert ${wav}")
    endif()
    math(EXPR index "${index} + 1")
  endforeach()
endforeach()
file(TOUCH "${OUT}/complete")
