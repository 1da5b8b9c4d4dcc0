# Empty dependencies file for talvoro_crc64.
# This may be replaced when dependencies are built.
