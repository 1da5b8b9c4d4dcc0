file(REMOVE_RECURSE
  "libtalvoro_ui.a"
)
