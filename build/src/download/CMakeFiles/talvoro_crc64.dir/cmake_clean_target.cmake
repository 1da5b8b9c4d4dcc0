file(REMOVE_RECURSE
  "libtalvoro_crc64.a"
)
