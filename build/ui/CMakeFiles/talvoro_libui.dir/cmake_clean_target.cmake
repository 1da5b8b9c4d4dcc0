file(REMOVE_RECURSE
  "libtalvoro_libui.a"
)
