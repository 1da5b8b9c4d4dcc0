file(REMOVE_RECURSE
  "libtalvoro_app.a"
)
