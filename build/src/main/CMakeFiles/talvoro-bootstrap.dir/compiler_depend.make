# Empty compiler generated dependencies file for talvoro-bootstrap.
# This may be replaced when dependencies are built.
