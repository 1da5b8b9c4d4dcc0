# Empty dependencies file for talvoro_ui.
# This may be replaced when dependencies are built.
