"""fpar_profile example (the body lives in the package: python -m velm.examples.fpar_profile)."""

from velm.examples.fpar_profile import main

if __name__ == "__main__":
    main()
