# Fails unless the 64-bit ARM dibjpeg.dll (LIBRARY) is what a Windows on ARM
# caller expects, as llvm-readobj (READOBJ) reads it: machine ARM64; exactly one
# export, Jpeg_EncodeStart by name; imports from ntdll.dll only; ASLR with a
# 64-bit address space and DEP; a version resource naming VERSION, "64-bit
# ARM" and the MIT licence; and an ARM64 import library IMPORT_LIB that binds
# __imp_Jpeg_EncodeStart to dibjpeg.dll.
include(${CMAKE_CURRENT_LIST_DIR}/../../run_command.cmake)
run(${READOBJ} --file-headers --coff-exports --coff-imports ${LIBRARY})
set(dump "${output}")
set(problems "")

if(NOT dump MATCHES "\n  Machine: IMAGE_FILE_MACHINE_ARM64 \\(0xAA64\\)\n")
  string(APPEND problems "machine is not IMAGE_FILE_MACHINE_ARM64\n")
endif()

# Export blocks with an RVA of 0 are the unused slots of the address table.
set(exports "")
string(REGEX MATCHALL "Export {\n  Ordinal: [0-9]+\n  Name: [^\n]*\n  RVA: 0x[0-9A-F]+\n" blocks "${dump}")
foreach(block IN LISTS blocks)
  string(REGEX MATCH "Name: ([^\n]*)\n  RVA: (0x[0-9A-F]+)" _ "${block}")
  if(NOT CMAKE_MATCH_2 STREQUAL "0x0")
    list(APPEND exports "[${CMAKE_MATCH_1}]")
  endif()
endforeach()
if(NOT exports STREQUAL "[Jpeg_EncodeStart]")
  string(APPEND problems "exports ${exports}, want [Jpeg_EncodeStart]\n")
endif()

string(REGEX MATCHALL "Import {\n  Name: [^\n]+" import_lines "${dump}")
string(REGEX REPLACE "Import {\n  Name: " "" imports "${import_lines}")
string(REGEX MATCHALL "Symbol: [^ \n]+" symbols "${dump}")
if(NOT imports STREQUAL "ntdll.dll" OR NOT symbols STREQUAL "Symbol: memcpy;Symbol: memset")
  string(APPEND problems "imports [${imports}]: [${symbols}], want ntdll.dll: memcpy, memset\n")
endif()

string(REGEX MATCH "ImageOptionalHeader {.*  Characteristics \\[ \\((0x[0-9A-F]+)\\)" _ "${dump}")
set(characteristics "${CMAKE_MATCH_1}")
if(characteristics STREQUAL "")
  string(APPEND problems "no DllCharacteristics in the optional header\n")
else()
  # HIGH_ENTROPY_VA 0x20, DYNAMIC_BASE 0x40, NX_COMPAT 0x100.
  math(EXPR missing "(${characteristics} & 0x160) ^ 0x160")
  if(NOT missing EQUAL 0)
    string(APPEND problems "DllCharacteristics ${characteristics} lack HIGH_ENTROPY_VA|DYNAMIC_BASE|NX_COMPAT\n")
  endif()
endif()

# The version strings are UTF-16LE in the resource section.
file(READ ${LIBRARY} bytes HEX)
foreach(text "dibjpeg: DIB to baseline JFIF JPEG encoder (64-bit ARM)" "${VERSION}" "MIT licence")
  string(HEX "${text}" hex)
  string(REGEX REPLACE "(..)" "\\100" utf16 "${hex}")
  string(FIND "${bytes}" "${utf16}" at)
  if(at EQUAL -1)
    string(APPEND problems "no \"${text}\" in the version resource\n")
  endif()
endforeach()

run(${READOBJ} ${IMPORT_LIB})
if(NOT output MATCHES "Format: COFF-ARM64" OR NOT output MATCHES "File: dibjpeg.dll\nFormat: COFF-import-file")
  string(APPEND problems "${IMPORT_LIB} is no ARM64 import library of dibjpeg.dll\n")
endif()

if(problems)
  message(FATAL_ERROR "${LIBRARY}:\n${problems}")
endif()
message(STATUS "exports: ${exports}; imports: ${imports} ${symbols}; DllCharacteristics: ${characteristics}")
