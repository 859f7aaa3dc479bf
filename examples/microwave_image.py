"""microwave_image example (the body lives in the package: python -m velm.examples.microwave_image)."""

from velm.examples.microwave_image import main

if __name__ == "__main__":
    main()
