"""lidar_waveform example (the body lives in the package: python -m velm.examples.lidar_waveform)."""

from velm.examples.lidar_waveform import main

if __name__ == "__main__":
    main()
