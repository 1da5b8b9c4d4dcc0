# Empty compiler generated dependencies file for talvoro_download.
# This may be replaced when dependencies are built.
