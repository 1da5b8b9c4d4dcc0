# Empty compiler generated dependencies file for talvoro_app.
# This may be replaced when dependencies are built.
