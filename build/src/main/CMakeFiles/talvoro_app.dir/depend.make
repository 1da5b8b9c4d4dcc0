# Empty dependencies file for talvoro_app.
# This may be replaced when dependencies are built.
