# Empty dependencies file for talvoro-bootstrap.
# This may be replaced when dependencies are built.
