"""A small example package around the native `_velmora_backend` module."""
