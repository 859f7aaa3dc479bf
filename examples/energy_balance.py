"""energy_balance example (the body lives in the package: python -m velm.examples.energy_balance)."""

from velm.examples.energy_balance import main

if __name__ == "__main__":
    main()
