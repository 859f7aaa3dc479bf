"""Runnable examples: ``python -m velm.examples.demo`` (and ``fpar_profile``,
``lidar_waveform``). Each writes a labelled picture into ./out (or the directory in the
environment variable VELM_OUT)."""
