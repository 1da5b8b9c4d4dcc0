# Empty compiler generated dependencies file for talvoro_crc64.
# This may be replaced when dependencies are built.
