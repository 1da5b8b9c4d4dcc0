# Empty dependencies file for talvoro-crc64.
# This may be replaced when dependencies are built.
