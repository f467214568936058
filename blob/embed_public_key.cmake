# cmake -DKEY=<der file> -DOUT=<source file> -P embed_public_key.cmake
# Writes the definition of BlobPublicKey from a DER public key that the
# build has just checked (check_public_key), so its size is right.
file(READ "${KEY}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){12})" "\\1\n    " bytes "${bytes}")
set(text "// Generated from ${KEY}; do not edit.\n")
string(APPEND text "#include \"blob/blob_public_key.h\"\n\n")
string(APPEND text "namespace brackenfold {\n\n")
string(APPEND text "const unsigned char BlobPublicKey[kBlobPublicKeySize] = {\n    ${bytes}\n};\n\n")
string(APPEND text "}  // namespace brackenfold\n")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
  if(old STREQUAL text)
    return()
  endif()
endif()
file(WRITE "${OUT}" "${text}")
