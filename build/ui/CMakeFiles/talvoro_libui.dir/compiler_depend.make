# Empty compiler generated dependencies file for talvoro_libui.
# This may be replaced when dependencies are built.
