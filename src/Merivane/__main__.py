"""`python -m Merivane` runs the merivane command."""
if __name__ == "__main__":
    import sys

    from Merivane.cli import _main

    sys.exit(_main())
