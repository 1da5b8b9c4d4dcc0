file(REMOVE_RECURSE
  "libtalvoro_download.a"
)
