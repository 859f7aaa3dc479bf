"""VELM demo (the body lives in the package: python -m velm.examples.demo)."""

from velm.examples.demo import main

if __name__ == "__main__":
    main()
